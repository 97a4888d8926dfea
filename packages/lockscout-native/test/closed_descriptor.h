// Runs a program's main in a forked child with one standard descriptor
// truly closed (not redirected), then tells whether main left that number
// open on /dev/null, as it must before it opens anything: otherwise the
// first file it opened would take the number and receive what was meant
// for standard output or error.
#pragma once

#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

template <typename RunMain>
bool ClosedDescriptorFilledWithDevNull(int closed, RunMain run_main) {
  fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    close(closed);
    run_main();
    struct stat null_status;
    struct stat status;
    const bool filled = stat("/dev/null", &null_status) == 0 && fstat(closed, &status) == 0 &&
                        S_ISCHR(status.st_mode) && status.st_rdev == null_status.st_rdev;
    _exit(filled ? 0 : 1);
  }
  int wait_status = 0;
  return waitpid(child, &wait_status, 0) == child && WIFEXITED(wait_status) &&
         WEXITSTATUS(wait_status) == 0;
}
