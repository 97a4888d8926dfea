// Internals of the Linux process-information stand-in that its unit tests
// reach directly: the start-time identifier used on kernels without pidfs,
// and a switch that makes the stand-in take one identifier source as if it
// were the only one the kernel offered.
#pragma once

#include <stdint.h>

namespace procinfo_linux {

enum class IdentifierSource : int {
  kPidfsInfo = 0,  // pidfs inode numbers; parent and credentials by PIDFD_GET_INFO (6.13+)
  kPidfsProc = 1,  // pidfs inode numbers; parent and credentials from /proc (6.9+)
  kStartTime = 2,  // identifiers derived from the start time (older kernels)
};

// The identifier of a process from its number and its start time in clock
// ticks after boot.
uint64_t StartTimeUniqueId(int pid, unsigned long long start_ticks);

IdentifierSource ActiveIdentifierSource();

// Tests only: a source as int, or -1 to go back to what the kernel offers.
void ForceIdentifierSource(int source);

}  // namespace procinfo_linux
