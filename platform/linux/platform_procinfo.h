// Stand-in for the process information of the macOS system library:
// proc_pidinfo with the BSD and unique-identifier flavours, proc_listallpids
// and the KERN_PROCARGS2 argument area of sysctl, answered from /proc.
// getsid, kill and geteuid are Linux's own and behave as macOS's do.
#pragma once

#include <errno.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <unistd.h>

#define PROC_PIDTBSDINFO 3
#define PROC_PIDUNIQIDENTIFIERINFO 17

#define CTL_KERN 1
#define KERN_PROCARGS2 49

#define MAXCOMLEN 16

// Basic facts of one process, 136 bytes as the macOS record is. This layer
// fills the numbers (pid, parent, group) and the user and group ids; the
// other fields stay 0.
struct proc_bsdinfo {
  uint32_t pbi_flags;
  uint32_t pbi_status;
  uint32_t pbi_xstatus;
  uint32_t pbi_pid;
  uint32_t pbi_ppid;
  uid_t pbi_uid;            // effective user
  gid_t pbi_gid;            // effective group
  uid_t pbi_ruid;
  gid_t pbi_rgid;
  uid_t pbi_svuid;
  gid_t pbi_svgid;
  uint32_t pbi_reserved;
  char pbi_comm[MAXCOMLEN];
  char pbi_name[2 * MAXCOMLEN];
  uint32_t pbi_nfiles;
  uint32_t pbi_pgid;
  uint32_t pbi_pjobc;
  uint32_t e_tdev;
  uint32_t e_tpgid;
  int32_t pbi_nice;
  uint64_t pbi_start_tvsec;
  uint64_t pbi_start_tvusec;
};

// The identifiers that the system never hands to a second process while it
// runs: the process's own and its parent's. 56 bytes as on macOS.
struct proc_uniqidentifierinfo {
  uint8_t p_uuid[16];
  uint64_t p_uniqueid;
  uint64_t p_puniqueid;
  uint64_t p_reserved[3];
};

static_assert(sizeof(struct proc_bsdinfo) == 136, "proc_bsdinfo is 136 bytes on macOS");
static_assert(sizeof(struct proc_uniqidentifierinfo) == 56,
              "proc_uniqidentifierinfo is 56 bytes on macOS");

#ifdef __cplusplus
extern "C" {
#endif

// Fills buffer with the record of the flavour and returns the number of
// bytes filled, or 0 with errno set: ESRCH when no such process exists
// (kernel threads and thread ids other than a process's own count as none;
// for the unique identifiers a zombie counts as none too, as on macOS),
// EINVAL for an unknown flavour or a buffer smaller than the record.
int proc_pidinfo(int pid, int flavor, uint64_t arg, void* buffer, int buffersize);

// Stores the numbers of all processes into buffer and returns how many it
// stored, at most buffersize / 4. Kernel threads are among them; the BSD
// read answers ESRCH for those. With no buffer it returns an upper bound on
// the number of processes. -1 with errno on failure.
int proc_listallpids(void* buffer, int buffersize);

// sysctl for the one name this layer knows, {CTL_KERN, KERN_PROCARGS2, pid}:
// with no buffer *oldlenp receives a size that the argument area does not
// exceed; with a buffer, *oldlenp in is its capacity and out the bytes
// written. As on macOS, an area that does not fit is not refused: the
// buffer receives the count word and then the area's last bytes, and is
// reported full (a buffer smaller than the count word is EINVAL). The area
// is laid out as macOS's: count word, executable path, zeros up to where
// argv begins (the path's 16-byte key, path and zero byte padded to 8
// bytes, the key stripped), argv, environment. Another user's process is
// refused with EPERM unless the caller is root; an environment the kernel
// refuses root gives EACCES; a number not in use and a zombie give EINVAL,
// as on macOS; a thread id or a kernel thread gives ESRCH (macOS has no
// number for them); a process caught between two programs for longer than
// a few retries gives EAGAIN; any other name or a new value gives ENOTSUP.
int darwin_sysctl(int* name, unsigned int namelen, void* oldp, size_t* oldlenp, void* newp,
                  size_t newlen);

#ifdef __cplusplus
}
#endif

#define sysctl(...) darwin_sysctl(__VA_ARGS__)
