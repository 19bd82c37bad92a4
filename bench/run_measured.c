/* Runs one or more command lines at the same time and prints, on one line, the wall
   seconds until the last one ended and the largest peak resident memory (KiB) among
   them, as wait4 reports it (the process and every child it waited for).

   Usage: tarvelo-run-measured COMMAND [ARG...] [';;' COMMAND [ARG...]]...
   Exit status: 0 when every command exited with 0, else 1 (output still printed).

   Why a C program: a process's peak memory carries over an exec, so a command
   started straight from a large interpreter would report at least the interpreter's
   size. This launcher is small and starts its commands with posix_spawn. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

enum { kMaxCommands = 16 };

static double Now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec * 1e-9;
}

int main(int argc, char** argv) {
  char** commands[kMaxCommands];
  int count = 0;
  for (int i = 1; i < argc && count < kMaxCommands;) {
    commands[count++] = &argv[i];
    while (i < argc && strcmp(argv[i], ";;") != 0) {
      ++i;
    }
    if (i < argc) {
      argv[i++] = NULL; /* ends this command's argument list */
    }
  }
  if (count == 0) {
    fprintf(stderr, "usage: %s COMMAND [ARG...] [';;' COMMAND [ARG...]]...\n", argv[0]);
    return 2;
  }
  /* The commands' own output would mix with the measurement line. */
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  pid_t children[kMaxCommands];
  const double start = Now();
  for (int i = 0; i < count; ++i) {
    if (posix_spawnp(&children[i], commands[i][0], &quiet, NULL, commands[i], environ) != 0) {
      fprintf(stderr, "cannot start %s\n", commands[i][0]);
      return 1;
    }
  }
  int failed = 0;
  long peak_kib = 0;
  for (int i = 0; i < count; ++i) {
    int status = 0;
    struct rusage usage = {0};
    if (wait4(children[i], &status, 0, &usage) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      failed = 1;
    }
    if (usage.ru_maxrss > peak_kib) {
      peak_kib = usage.ru_maxrss;
    }
  }
  printf("%.6f %ld\n", Now() - start, peak_kib);
  return failed;
}
