// The first step of each keychain program's main, shared by lockscout,
// keyfetch and keyvet: standard descriptors that nothing else can take
// over, and output signals that fail a write instead of ending the program.
#pragma once

#include <csignal>

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace program_start {

// Bit n set: descriptor n was not open when the program started.
constexpr int kStandardInputClosed = 1 << STDIN_FILENO;
constexpr int kStandardOutputClosed = 1 << STDOUT_FILENO;

// Opens /dev/null on each of descriptors 0 to 2 that is not open. A
// program started with one of them closed hands that number to the first
// file it opens, and the Security framework keeps the keychain's files
// open: a key meant for standard output would be written into whichever
// file took descriptor 1. Returns the mask of the descriptors that were
// closed, or -1 when one could not be filled, and then nothing may be
// opened safely.
inline int FillStandardDescriptors() {
  int closed = 0;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
      continue;
    }
    // The lowest free number, which is this one: those below are open now.
    const int opened = open("/dev/null", O_RDWR);
    if (opened != fd) {
      if (opened >= 0) {
        close(opened);
      }
      return -1;
    }
    closed |= 1 << fd;
  }
  return closed;
}

// The spawning layer resets signals to their defaults. A reader that went
// away (SIGPIPE) or a file-size limit reached by a write (SIGXFSZ) would
// then kill the program in the middle of its work: before keyfetch wiped
// the key, or while the keychain's temporary, which holds every item, was
// being written. Ignored, they make the write fail with EPIPE or EFBIG and
// the program finishes its clean-up and exits with its own status.
inline void IgnoreOutputSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

// Both steps, first thing in main; returns what FillStandardDescriptors does.
inline int StartProgram() {
  const int closed = FillStandardDescriptors();
  IgnoreOutputSignals();
  return closed;
}

}  // namespace program_start
