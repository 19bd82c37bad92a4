#pragma once
// Runs a piece of a test in a child process: a call that might block for ever is
// then ended by a watchdog instead of hanging the suite, and a child may give up
// root's privileges (which bypass the permissions under test) without the rest of
// the test losing them.

#include <sys/types.h>

#include <functional>

namespace tarvelo::test {

// An unprivileged user and group with no files of their own (Debian's nobody).
inline constexpr uid_t kNobody = 65534;
// Another one, owning files that kNobody must not replace.
inline constexpr uid_t kSomeoneElse = 65533;

// Forks; the child runs `body` and exits with its result. The child is killed
// when it runs longer than `watchdog_seconds`. Returns the exit status, or -1 when
// the child ended by a signal (the watchdog's among them).
int RunInChild(const std::function<int()>& body, unsigned watchdog_seconds = 20);

// As RunInChild, with the child running as `user` (when the test runs as root; as
// any other user, as that user). 99 when the child could not change its user.
int RunInChildAs(uid_t user, const std::function<int()>& body, unsigned watchdog_seconds = 20);

}  // namespace tarvelo::test
