#include "child_process.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

namespace tarvelo::test {

int RunInChild(const std::function<int()>& body, unsigned watchdog_seconds) {
  const pid_t child = fork();
  if (child < 0) {
    return -2;
  }
  if (child == 0) {
    static_cast<void>(std::signal(SIGALRM, SIG_DFL));
    alarm(watchdog_seconds);
    _exit(body());
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunInChildAs(uid_t user, const std::function<int()>& body, unsigned watchdog_seconds) {
  return RunInChild(
      [&] {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0)) {
          return 99;
        }
        return body();
      },
      watchdog_seconds);
}

}  // namespace tarvelo::test
