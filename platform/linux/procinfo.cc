// Linux implementations of the macOS process information declared in
// platform_procinfo.h, answered from /proc and from pidfds.
//
// The hard part is the unique identifier. macOS numbers every process with
// a 64-bit value that is never handed out again while the system runs, so a
// caller can tell a process from a later one that got a recycled number.
// On kernels with pidfs (6.9 and later) the inode number of a pidfd is such
// a value. Before that, the identifier is derived from the process's start
// time (see StartTimeUniqueId for what that guarantees).
#include "platform_procinfo.h"
#include "procinfo_testing.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

// The same numbers on every architecture; older C library headers lack them.
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace {

constexpr long kPidfsMagic = 0x50494446;       // "PIDF", f_type of a pidfs pidfd
constexpr unsigned int kKernelThreadFlag = 0x00200000;  // PF_KTHREAD in stat's flags
constexpr unsigned int kExitingFlag = 0x00000004;       // PF_EXITING in stat's flags
constexpr int kParentRetries = 3;
constexpr int kImageRetries = 3;
constexpr int kExecRetries = 7;

// The kernel's PIDFD_GET_INFO record (6.13 and later), first version. The
// installed kernel headers may predate it, so it is spelt out here.
struct PidfdInfo {
  uint64_t mask;
  uint64_t cgroupid;
  uint32_t pid;
  uint32_t tgid;
  uint32_t ppid;
  uint32_t ruid;
  uint32_t rgid;
  uint32_t euid;
  uint32_t egid;
  uint32_t suid;
  uint32_t sgid;
  uint32_t fsuid;
  uint32_t fsgid;
  uint32_t spare0;
};
static_assert(sizeof(PidfdInfo) == 64, "first version of struct pidfd_info");
constexpr unsigned long kPidfdGetInfo = _IOWR(0xFF, 11, PidfdInfo);
constexpr uint64_t kPidfdInfoPid = 1ULL << 0;
constexpr uint64_t kPidfdInfoCreds = 1ULL << 1;

// What /proc/<pid>/stat tells about a process that this layer uses.
struct StatFields {
  int pid;
  char state;  // R, S, D, Z, ...: for the main thread only
  int ppid;
  int pgid;
  unsigned int flags;
  int threads;
  int exit_signal;  // -1 for a thread other than its process's first
  char comm[64];                   // the command name, as far as it fits
  unsigned long long start_ticks;  // clock ticks after boot
  // Where the arguments and the environment lie in the process's memory;
  // all 0 when the caller may not see them or the kernel predates them.
  unsigned long long arg_start, arg_end, env_start, env_end;
};

// The user and group ids of a process.
struct Credentials {
  uint32_t ruid, euid, suid;
  uint32_t rgid, egid, sgid;
};

// A growable byte buffer from malloc, freed by whoever filled it.
struct Bytes {
  char* data;
  size_t size;
  size_t capacity;
};

std::atomic<int> forced_source{-1};

// ---- small system-call wrappers -------------------------------------------

void CloseKeepingErrno(int fd) {
  const int saved_errno = errno;
  close(fd);
  errno = saved_errno;
}

ssize_t ReadRetrying(int fd, void* buffer, size_t size) {
  ssize_t got;
  do {
    got = read(fd, buffer, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

// pidfd calls through syscall(2): older C libraries have no wrappers, and
// a kernel without them answers ENOSYS, which the callers handle.
int PidfdOpen(int pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

int PidfdSendSignal(int pidfd, int signal) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

// Files below /proc/<pid> of a process that has been reaped answer ENOENT
// or ESRCH depending on the file; callers want one answer, ESRCH.
int ProcessErrno(int error) { return error == ENOENT ? ESRCH : error; }

// Opens a pidfd for the process `pid`. A pid that is not in use, or is a
// thread of another process rather than a process, gives ESRCH. The caller
// closes the descriptor.
int OpenPidfd(int pid) {
  const int fd = PidfdOpen(pid);
  if (fd >= 0) {
    return fd;
  }
  const int saved_errno = errno;
  errno = (saved_errno == EINVAL || saved_errno == ENOENT) ? ESRCH : saved_errno;
  return -1;
}

// ---- identifier source -----------------------------------------------------

procinfo_linux::IdentifierSource DetectIdentifierSource() {
  const int fd = OpenPidfd(getpid());
  if (fd < 0) {
    return procinfo_linux::IdentifierSource::kStartTime;
  }
  procinfo_linux::IdentifierSource source = procinfo_linux::IdentifierSource::kStartTime;
  struct statfs fs;
  if (fstatfs(fd, &fs) == 0 && fs.f_type == kPidfsMagic) {
    PidfdInfo info;
    memset(&info, 0, sizeof info);
    info.mask = kPidfdInfoPid | kPidfdInfoCreds;
    source = ioctl(fd, kPidfdGetInfo, &info) == 0 ? procinfo_linux::IdentifierSource::kPidfsInfo
                                                   : procinfo_linux::IdentifierSource::kPidfsProc;
  }
  close(fd);
  return source;
}

procinfo_linux::IdentifierSource CurrentSource() {
  const int forced = forced_source.load();
  if (forced >= 0) {
    return static_cast<procinfo_linux::IdentifierSource>(forced);
  }
  static const procinfo_linux::IdentifierSource detected = DetectIdentifierSource();
  return detected;
}

// ---- /proc readers ---------------------------------------------------------

// Reads a small /proc file, `name` below `dir_fd`, into `buffer` as a
// zero-terminated text. Returns false with errno set (ESRCH when the
// process is gone).
bool ReadTextAt(int dir_fd, const char* name, char* buffer, size_t size) {
  const int fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    errno = ProcessErrno(errno);
    return false;
  }
  const ssize_t got = ReadRetrying(fd, buffer, size - 1);
  const int saved_errno = errno;
  close(fd);
  if (got <= 0) {
    errno = got == 0 ? ESRCH : ProcessErrno(saved_errno);
    return false;
  }
  buffer[got] = '\0';
  return true;
}

// The same for the file `name` of the process `pid`.
bool ReadProcText(int pid, const char* name, char* buffer, size_t size) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/%s", pid, name);
  return ReadTextAt(AT_FDCWD, path, buffer, size);
}

// The command name in stat is in parentheses and may itself hold spaces
// and parentheses, so the fields after it are found from the last ')'.
bool ParseStat(const char* text, StatFields* out) {
  memset(out, 0, sizeof *out);
  const char* close_paren = strrchr(text, ')');
  if (close_paren == nullptr) {
    return false;
  }
  out->pid = atoi(text);
  const char* open_paren = strchr(text, '(');
  if (open_paren != nullptr && open_paren < close_paren) {
    const size_t length = static_cast<size_t>(close_paren - open_paren - 1);
    memcpy(out->comm, open_paren + 1, length < sizeof out->comm ? length : sizeof out->comm - 1);
  }
  // Fields of stat(5), numbered from 3 after the name: 3 state, 4 ppid,
  // 5 pgrp, 9 flags, 20 num_threads, 22 starttime, 38 exit_signal, 48 to
  // 51 arg_start arg_end env_start env_end.
  // Up to 22 they are always there; the later ones only on newer kernels.
  const char* field = close_paren + 1;
  unsigned long long values[52] = {0};
  for (int number = 3; number <= 51; ++number) {
    while (*field == ' ') {
      ++field;
    }
    if (*field == '\0' || *field == '\n') {
      if (number <= 22) {
        return false;
      }
      break;
    }
    if (number == 3) {
      out->state = *field;
    }
    values[number] = strtoull(field, nullptr, 10);
    while (*field != ' ' && *field != '\0' && *field != '\n') {
      ++field;
    }
  }
  out->ppid = static_cast<int>(values[4]);
  out->pgid = static_cast<int>(values[5]);
  out->flags = static_cast<unsigned int>(values[9]);
  out->threads = static_cast<int>(values[20]);
  out->start_ticks = values[22];
  // strtoull reads "-1" as its two's complement.
  out->exit_signal = static_cast<int>(static_cast<long long>(values[38]));
  out->arg_start = values[48];
  out->arg_end = values[49];
  out->env_start = values[50];
  out->env_end = values[51];
  return true;
}

bool ReadStat(int pid, StatFields* out) {
  char text[1024];
  if (!ReadProcText(pid, "stat", text, sizeof text)) {
    return false;
  }
  if (!ParseStat(text, out) || out->pid != pid) {
    errno = EIO;
    return false;
  }
  return true;
}

bool ParseIdLine(const char* text, const char* label, uint32_t* real, uint32_t* effective,
                 uint32_t* saved) {
  const char* line = strstr(text, label);
  if (line == nullptr) {
    return false;
  }
  unsigned int r = 0, e = 0, s = 0;
  if (sscanf(line + strlen(label), " %u %u %u", &r, &e, &s) != 3) {
    return false;
  }
  *real = r;
  *effective = e;
  *saved = s;
  return true;
}

// Credentials from /proc/<pid>/status, for kernels without PIDFD_GET_INFO.
// Also refuses a thread id that is not a process's own (Tgid differs).
bool ReadStatusCredentials(int pid, Credentials* out) {
  char text[4096];
  if (!ReadProcText(pid, "status", text, sizeof text)) {
    return false;
  }
  const char* tgid_line = strstr(text, "\nTgid:");
  if (tgid_line == nullptr || atoi(tgid_line + 6) != pid) {
    errno = ESRCH;
    return false;
  }
  if (!ParseIdLine(text, "\nUid:", &out->ruid, &out->euid, &out->suid) ||
      !ParseIdLine(text, "\nGid:", &out->rgid, &out->egid, &out->sgid)) {
    errno = EIO;
    return false;
  }
  return true;
}

// PIDFD_GET_INFO on an open pidfd: parent, credentials, and at the same time
// proof that the pidfd's process had not been reaped. ESRCH once it has.
bool ReadPidfdInfo(int pidfd, PidfdInfo* out) {
  memset(out, 0, sizeof *out);
  out->mask = kPidfdInfoPid | kPidfdInfoCreds;
  if (ioctl(pidfd, kPidfdGetInfo, out) != 0) {
    errno = ProcessErrno(errno);
    return false;
  }
  return true;
}

// Whether the pidfd's process still holds its number. Reads of /proc/<pid>
// made after the pidfd was opened and before this check succeeds belong to
// the pidfd's process, not to a later one that received the same number.
bool PidfdStillRunning(int pidfd) {
  if (PidfdSendSignal(pidfd, 0) == 0 || errno == EPERM) {
    return true;
  }
  errno = ESRCH;
  return false;
}

// ---- the BSD record --------------------------------------------------------

// What the BSD record is made of.
struct BsdFacts {
  int pid;
  int ppid;
  int pgid;
  bool kernel_thread;
  Credentials credentials;
};

// A zombie from its stat: the main thread exited and no other thread is
// left. While other threads run, the process lives on (as on macOS).
bool ProcessEnded(const StatFields& stat) {
  return (stat.state == 'Z' || stat.state == 'X') && stat.threads <= 1;
}

// Kernel threads all sit in process group 0, kthreadd's, where user
// processes almost never are; only there does it take a stat read (whose
// flags say for certain) to tell the two apart.
bool IsKernelThread(int pid, int pgid) {
  if (pgid != 0) {
    return false;
  }
  StatFields stat;
  return ReadStat(pid, &stat) && (stat.flags & kKernelThreadFlag) != 0;
}

// From PIDFD_GET_INFO, with no /proc file read: this is the read a listing
// makes twice per process. getpgid (and, in group 0, the kernel-thread
// test) asks by number, so it is made after the pidfd is open and before
// the info read, whose success proves that the pidfd's process still held
// the number when getpgid answered. A kernel thread needs no info read: it
// is no process to macOS, whoever holds the number by now.
bool ReadFactsByPidfdInfo(int pid, BsdFacts* out) {
  const int pidfd = OpenPidfd(pid);
  if (pidfd < 0) {
    return false;
  }
  errno = 0;
  const pid_t pgid = getpgid(pid);
  const int pgid_errno = errno;
  const bool kernel_thread = pgid == 0 && IsKernelThread(pid, pgid);
  PidfdInfo info;
  memset(&info, 0, sizeof info);
  const bool running = kernel_thread || ReadPidfdInfo(pidfd, &info);
  CloseKeepingErrno(pidfd);
  if (!running) {
    return false;
  }
  if (pgid < 0) {
    errno = pgid_errno;
    return false;
  }
  out->pid = pid;
  out->ppid = static_cast<int>(info.ppid);
  out->pgid = pgid;
  out->credentials = Credentials{info.ruid, info.euid, info.suid, info.rgid, info.egid, info.sgid};
  out->kernel_thread = kernel_thread;
  return true;
}

// From /proc/<pid>/stat and status, for kernels before PIDFD_GET_INFO. With
// a pidfd, the reads are checked to have happened while its process still
// held the number. Without one, status's Tgid and stat's pid still tie the
// answer to a process, though the number may be recycled between the two
// reads; the caller's bracketing reads of the identifiers catch that.
bool ReadFactsFromProc(int pid, BsdFacts* out) {
  // A kernel without pidfds, or a sandbox that forbids them, leaves the
  // reads unpinned; only a missing process ends the read here.
  const int pidfd = OpenPidfd(pid);
  if (pidfd < 0 && errno == ESRCH) {
    return false;
  }
  StatFields stat;
  bool ok = ReadStat(pid, &stat) && ReadStatusCredentials(pid, &out->credentials) &&
            (pidfd < 0 || PidfdStillRunning(pidfd));
  if (pidfd >= 0) {
    CloseKeepingErrno(pidfd);
  }
  if (!ok) {
    return false;
  }
  out->pid = stat.pid;
  out->ppid = stat.ppid;
  out->pgid = stat.pgid;
  out->kernel_thread = (stat.flags & kKernelThreadFlag) != 0;
  return true;
}

// Fills the fields that callers read: numbers and credentials. The rest
// of the record (command name, start time, ...) stays zero.
bool ReadBsdInfo(int pid, proc_bsdinfo* out) {
  BsdFacts facts;
  memset(&facts, 0, sizeof facts);
  const bool ok = CurrentSource() == procinfo_linux::IdentifierSource::kPidfsInfo
                      ? ReadFactsByPidfdInfo(pid, &facts)
                      : ReadFactsFromProc(pid, &facts);
  if (!ok) {
    return false;
  }
  // Kernel threads have no counterpart among macOS's processes.
  if (facts.kernel_thread) {
    errno = ESRCH;
    return false;
  }
  memset(out, 0, sizeof *out);
  out->pbi_status = 1;
  out->pbi_pid = static_cast<uint32_t>(facts.pid);
  out->pbi_ppid = static_cast<uint32_t>(facts.ppid);
  out->pbi_pgid = static_cast<uint32_t>(facts.pgid);
  out->pbi_uid = facts.credentials.euid;
  out->pbi_gid = facts.credentials.egid;
  out->pbi_ruid = facts.credentials.ruid;
  out->pbi_rgid = facts.credentials.rgid;
  out->pbi_svuid = facts.credentials.suid;
  out->pbi_svgid = facts.credentials.sgid;
  return true;
}

// ---- unique identifiers ----------------------------------------------------

// The parent number of the pidfd's process, with the same proof of life.
bool ReadParentNumber(int pid, int pidfd, int* ppid) {
  if (CurrentSource() == procinfo_linux::IdentifierSource::kPidfsInfo) {
    PidfdInfo info;
    if (!ReadPidfdInfo(pidfd, &info)) {
      return false;
    }
    *ppid = static_cast<int>(info.ppid);
    return true;
  }
  StatFields stat;
  if (!ReadStat(pid, &stat) || !PidfdStillRunning(pidfd)) {
    return false;
  }
  *ppid = stat.ppid;
  return true;
}

bool PidfdInode(int pidfd, uint64_t* inode) {
  struct stat status;
  if (fstat(pidfd, &status) != 0) {
    return false;
  }
  *inode = static_cast<uint64_t>(status.st_ino);
  return true;
}

// Whether the pidfd's process has ended as a whole: exited and not yet
// reaped (a zombie), or reaped. A pidfd polls readable then; it does not
// while any thread of the process still runs, so a process whose main
// thread alone has exited still counts as running, as it does on macOS.
// macOS answers no identifiers for a zombie, so neither does this layer.
bool PidfdProcessEnded(int pidfd, bool* ended) {
  struct pollfd poll_fd = {pidfd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&poll_fd, 1, 0);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) {
    return false;
  }
  *ended = ready > 0;
  return true;
}

// The parent's pidfs inode. Between reading the parent number and opening
// the parent's pidfd, the parent may exit and its number go to a new,
// unrelated process; linking that one would make a false tree. pidfs
// numbers inodes in the order processes are created, and a parent is
// always created before its child (a reparented child goes to an ancestor
// of its parent, older still). A process holding the parent number with a
// larger inode than the child's therefore took the number after the child
// was born and is not its parent; one with a smaller inode has held the
// number since before the child's birth, so it was the parent when the
// number was read. After a refusal the number is read again: a child is
// reparented before its parent's number is freed, so the next read sees
// the new parent.
bool PidfsParentId(int pid, int pidfd, uint64_t child_inode, uint64_t* parent_id) {
  for (int attempt = 0; attempt < kParentRetries; ++attempt) {
    int ppid = 0;
    if (!ReadParentNumber(pid, pidfd, &ppid)) {
      return false;
    }
    if (ppid == 0) {  // the first process, or one whose parent is outside our namespace
      *parent_id = 0;
      return true;
    }
    const int parent_fd = OpenPidfd(ppid);
    if (parent_fd < 0) {
      if (errno != ESRCH) {
        return false;
      }
      continue;  // the parent has gone; the process has been reparented
    }
    uint64_t inode = 0;
    const bool ok = PidfdInode(parent_fd, &inode);
    CloseKeepingErrno(parent_fd);
    if (!ok) {
      return false;
    }
    if (inode < child_inode) {
      *parent_id = inode;
      return true;
    }
  }
  errno = EAGAIN;
  return false;
}

bool PidfsUniqueIds(int pid, uint64_t* id, uint64_t* parent_id) {
  const int pidfd = OpenPidfd(pid);
  if (pidfd < 0) {
    return false;
  }
  bool ended = false;
  bool ok = PidfdInode(pidfd, id) && PidfdProcessEnded(pidfd, &ended);
  if (ok && ended) {
    errno = ESRCH;
    ok = false;
  }
  ok = ok && PidfsParentId(pid, pidfd, *id, parent_id);
  CloseKeepingErrno(pidfd);
  return ok;
}

bool StartTimeParentId(int ppid_seen, uint64_t* parent_id) {
  if (ppid_seen == 0) {
    *parent_id = 0;
    return true;
  }
  StatFields parent;
  if (!ReadStat(ppid_seen, &parent)) {
    return false;
  }
  *parent_id = procinfo_linux::StartTimeUniqueId(ppid_seen, parent.start_ticks);
  return true;
}

// Start-time identifiers, with the same re-check of the parent number as
// PidfsParentId: the parent's stat read lies between two reads of the
// child's parent number, and counts only if they agree.
bool StartTimeUniqueIds(int pid, uint64_t* id, uint64_t* parent_id) {
  for (int attempt = 0; attempt < kParentRetries; ++attempt) {
    StatFields before;
    StatFields after;
    if (!ReadStat(pid, &before)) {
      return false;
    }
    if (ProcessEnded(before)) {
      errno = ESRCH;
      return false;
    }
    uint64_t parent = 0;
    if (!StartTimeParentId(before.ppid, &parent)) {
      if (errno != ESRCH) {
        return false;
      }
      continue;
    }
    if (!ReadStat(pid, &after)) {
      return false;
    }
    if (after.ppid == before.ppid && after.start_ticks == before.start_ticks) {
      *id = procinfo_linux::StartTimeUniqueId(pid, before.start_ticks);
      *parent_id = parent;
      return true;
    }
  }
  errno = EAGAIN;
  return false;
}

bool ReadUniqueIds(int pid, proc_uniqidentifierinfo* out) {
  memset(out, 0, sizeof *out);
  uint64_t id = 0;
  uint64_t parent_id = 0;
  const bool ok = CurrentSource() == procinfo_linux::IdentifierSource::kStartTime
                      ? StartTimeUniqueIds(pid, &id, &parent_id)
                      : PidfsUniqueIds(pid, &id, &parent_id);
  if (!ok) {
    return false;
  }
  out->p_uniqueid = id;
  out->p_puniqueid = parent_id;
  return true;
}

// ---- process listing ---------------------------------------------------------

// A numeric /proc entry's number, or 0 for any other entry.
int EntryPid(const char* name) {
  int pid = 0;
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || pid > 100000000) {
      return 0;
    }
    pid = pid * 10 + (*c - '0');
  }
  return pid;
}

// ---- the argument area -------------------------------------------------------

// Keeps errno, so that a failed read's error survives the clean-up.
void FreeBytes(Bytes* bytes) {
  const int saved_errno = errno;
  free(bytes->data);
  *bytes = Bytes{nullptr, 0, 0};
  errno = saved_errno;
}

bool Reserve(Bytes* bytes, size_t wanted) {
  if (wanted <= bytes->capacity) {
    return true;
  }
  size_t capacity = bytes->capacity == 0 ? 4096 : bytes->capacity;
  while (capacity < wanted) {
    capacity *= 2;
  }
  char* grown = static_cast<char*>(realloc(bytes->data, capacity));
  if (grown == nullptr) {
    errno = ENOMEM;
    return false;
  }
  bytes->data = grown;
  bytes->capacity = capacity;
  return true;
}

bool Append(Bytes* bytes, const void* data, size_t size) {
  if (!Reserve(bytes, bytes->size + size)) {
    return false;
  }
  if (size > 0) {
    memcpy(bytes->data + bytes->size, data, size);
  }
  bytes->size += size;
  return true;
}

// Appends the whole content of the file `name` below the process directory.
bool AppendProcFile(int dir_fd, const char* name, Bytes* bytes) {
  const int fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    errno = ProcessErrno(errno);
    return false;
  }
  for (;;) {
    if (!Reserve(bytes, bytes->size + 4096)) {
      CloseKeepingErrno(fd);
      return false;
    }
    const ssize_t got = ReadRetrying(fd, bytes->data + bytes->size, bytes->capacity - bytes->size);
    if (got < 0) {
      const int saved_errno = errno;
      close(fd);
      errno = ProcessErrno(saved_errno);
      return false;
    }
    const size_t asked = bytes->capacity - bytes->size;
    bytes->size += static_cast<size_t>(got);
    // A read shorter than asked for has reached the end: the kernel fills
    // a read of cmdline or environ page by page up to the end of the span
    // and stops short only there or at a page it cannot read, where the
    // next read would stop too (fs/proc/base.c, get_mm_cmdline and
    // environ_read). Reading on to a zero-byte read costs one more call.
    if (static_cast<size_t>(got) < asked) {
      break;
    }
  }
  close(fd);
  return true;
}

// Every string of the area must end in a zero byte, also when a process
// rewrote its argument memory without one at the end.
bool TerminateStrings(Bytes* bytes, size_t start) {
  if (bytes->size > start && bytes->data[bytes->size - 1] != '\0') {
    return Append(bytes, "", 1);
  }
  return true;
}

int32_t CountStrings(const char* data, size_t size) {
  int32_t count = 0;
  for (size_t i = 0; i < size; ++i) {
    count += data[i] == '\0' ? 1 : 0;
  }
  return count;
}

// The stat fields of the process directory `dir_fd`.
bool ReadStatAt(int dir_fd, StatFields* out) {
  char text[1024];
  if (!ReadTextAt(dir_fd, "stat", text, sizeof text)) {
    return false;
  }
  if (!ParseStat(text, out)) {
    errno = EIO;
    return false;
  }
  return true;
}

// The effective user of the process whose directory is `dir_fd`, opened
// for `pid`. /proc/<tid> answers for any thread id, though only a
// process's own number names a process on macOS: a thread id is ESRCH.
// With PIDFD_GET_INFO both come from a pidfd opened before the directory,
// as pidfd_open refuses thread ids, and the info read, made after, proves
// that the directory is that process's; older kernels read the status
// file through the directory.
bool ReadOwner(int pid, int pidfd, int dir_fd, uint32_t* euid) {
  if (pidfd >= 0) {
    PidfdInfo info;
    if (!ReadPidfdInfo(pidfd, &info)) {
      return false;
    }
    *euid = info.euid;
    return true;
  }
  char text[8192];
  if (!ReadTextAt(dir_fd, "status", text, sizeof text)) {
    return false;
  }
  const char* tgid = strstr(text, "\nTgid:");
  if (tgid == nullptr || atoi(tgid + strlen("\nTgid:")) != pid) {
    errno = ESRCH;
    return false;
  }
  uint32_t real = 0;
  uint32_t saved = 0;
  if (!ParseIdLine(text, "\nUid:", &real, euid, &saved)) {
    errno = EIO;
    return false;
  }
  return true;
}

// Opens /proc/<pid>, or the file `entry` in it (not null), by number.
int OpenProcEntry(int pid, const char* entry) {
  char path[64];
  if (entry == nullptr) {
    snprintf(path, sizeof path, "/proc/%d", pid);
  } else {
    snprintf(path, sizeof path, "/proc/%d/%s", pid, entry);
  }
  const int fd = open(path, O_RDONLY | O_CLOEXEC | (entry == nullptr ? O_DIRECTORY : 0));
  if (fd < 0) {
    errno = ProcessErrno(errno);
  }
  return fd;
}

int OpenProcDir(int pid) { return OpenProcEntry(pid, nullptr); }

// The stat fields from an open stat file, read afresh from its start.
bool ReadStatFile(int stat_fd, StatFields* out) {
  char text[1024];
  ssize_t got;
  do {
    got = pread(stat_fd, text, sizeof text - 1, 0);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    errno = got == 0 ? ESRCH : ProcessErrno(errno);
    return false;
  }
  text[got] = '\0';
  if (!ParseStat(text, out)) {
    errno = EIO;
    return false;
  }
  return true;
}

// The caller may read the area of a process of its own (effective) user,
// or any as root, as on macOS; another user's is EPERM, but a kernel
// thread (root's) is no process at all. `fd` is the process's directory,
// or its stat file when `is_stat`.
bool MayRead(int fd, bool is_stat, uint32_t euid, uid_t caller) {
  if (caller == 0 || euid == caller) {
    return true;
  }
  StatFields stat;
  const bool read = is_stat ? ReadStatFile(fd, &stat) : ReadStatAt(fd, &stat);
  errno = read && (stat.flags & kKernelThreadFlag) != 0 ? ESRCH : EPERM;
  return false;
}

// Opens the directory of process `pid` (entry null), or the file `entry`
// in it, after checking that `pid` is a process the caller may read.
// Returns the descriptor, which the caller closes, or -1 with errno: ESRCH
// when `pid` is no process, EPERM for another user's. Only reached for a
// caller who is not root (OpenStatFile lets root through before).
// Every later read goes through this descriptor, so it comes from this one
// process even if the number is recycled meanwhile (the reads then fail).
int OpenProcessEntry(int pid, const char* entry) {
  const uid_t caller = geteuid();
  const bool by_pidfd = CurrentSource() == procinfo_linux::IdentifierSource::kPidfsInfo;
  if (!by_pidfd && entry != nullptr) {
    // Without PIDFD_GET_INFO the owner is read through the directory.
    const int dir_fd = OpenProcessEntry(pid, nullptr);
    if (dir_fd < 0) {
      return -1;
    }
    const int fd = openat(dir_fd, entry, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      errno = ProcessErrno(errno);
    }
    CloseKeepingErrno(dir_fd);
    return fd;
  }
  const int pidfd = by_pidfd ? OpenPidfd(pid) : -1;
  if (by_pidfd && pidfd < 0) {
    return -1;
  }
  const int fd = OpenProcEntry(pid, entry);
  uint32_t euid = 0;
  const bool ok = fd >= 0 && ReadOwner(pid, pidfd, fd, &euid) &&
                  MayRead(fd, entry != nullptr, euid, caller);
  if (pidfd >= 0) {
    CloseKeepingErrno(pidfd);
  }
  if (!ok && fd >= 0) {
    CloseKeepingErrno(fd);
  }
  return ok ? fd : -1;
}

// Whether the task whose stat was read is a process's first thread, not
// another thread of it: /proc/<tid> answers for any thread id, though only
// a process's own number names a process on macOS. A thread started with
// CLONE_THREAD has exit_signal -1 (kernel/fork.c, copy_process), and a
// thread that takes over its process by exec gets SIGCHLD in place of it
// (kernel/exec.c, de_thread); measured on 6.18: 17 for a process, -1 for
// its second thread. 0 proves nothing (a process cloned with no exit
// signal), so there tgkill decides: it refuses a thread id as a process
// number, and a process that has gone since fails the stat reads anyway.
bool FirstThread(int pid, const StatFields& stat) {
  if (stat.exit_signal == -1) {
    errno = ESRCH;
    return false;
  }
  if (stat.exit_signal == 0 && syscall(SYS_tgkill, pid, pid, 0) != 0 && errno == ESRCH) {
    return false;
  }
  return true;
}

// Whether the caller is root or the effective user of process `pid`, for
// a caller that has just opened a file of it by number. The directory
// /proc/<pid> is owned by the process's effective user whatever its
// dumpability, where the files in it are root's when it is not dumpable
// (fs/proc/base.c, task_dump_owner; measured on 6.18 for a non-dumpable
// process and a zombie). Its stat by number answers for the process whose
// file is open as long as that file still reads afterwards: until the
// process is reaped its number names no other.
bool CallerMayReadByOwner(int pid) {
  const uid_t caller = geteuid();
  if (caller == 0) {
    return true;
  }
  char path[64];
  snprintf(path, sizeof path, "/proc/%d", pid);
  struct stat status;
  return stat(path, &status) == 0 && status.st_uid == caller;
}

// Opens the stat file of process `pid` when the caller may read the
// process, and reads it once into *first, which also settles that `pid`
// is no thread id. The owner check of the directory, one call, stands for
// the pidfd and info read of OpenProcessEntry; where it fails (another
// user's process, a kernel thread, one gone meanwhile), OpenProcessEntry
// gives the answer. The caller closes the descriptor.
int OpenStatFile(int pid, StatFields* first) {
  int stat_fd = OpenProcEntry(pid, "stat");
  if (stat_fd >= 0 && !CallerMayReadByOwner(pid)) {
    close(stat_fd);
    stat_fd = OpenProcessEntry(pid, "stat");
  }
  if (stat_fd < 0) {
    return -1;
  }
  if (!ReadStatFile(stat_fd, first) || !FirstThread(pid, *first)) {
    CloseKeepingErrno(stat_fd);
    return -1;
  }
  return stat_fd;
}

// The directory of a thread of `pid` other than its main one. When the
// main thread has exited while others run, its directory shows no memory
// (an empty cmdline, no exe); a live thread's shows the process's.
int OpenLiveThread(int dir_fd, int pid) {
  const int tasks_fd = openat(dir_fd, "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (tasks_fd < 0) {
    errno = ProcessErrno(errno);
    return -1;
  }
  DIR* tasks = fdopendir(tasks_fd);
  if (tasks == nullptr) {
    CloseKeepingErrno(tasks_fd);
    return -1;
  }
  int thread_fd = -1;
  int error = ESRCH;  // no other thread left: the process has ended
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(tasks);
    if (entry == nullptr) {
      error = errno != 0 ? errno : error;
      break;
    }
    const int tid = EntryPid(entry->d_name);
    if (tid == 0 || tid == pid) {
      continue;
    }
    thread_fd = openat(dirfd(tasks), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (thread_fd >= 0) {
      break;
    }
    error = ProcessErrno(errno);  // that thread ended meanwhile; try the next
  }
  closedir(tasks);
  if (thread_fd < 0) {
    errno = error;
  }
  return thread_fd;
}

// Reads the executable path `path` (below `dir_fd`); *length is -1 when
// Linux refuses it to the caller. It does so to a caller of the process's
// own user when the process is not dumpable (it changed its user ids, or
// runs a program that the user may not read), where macOS shows the path,
// so the area is still read. Fails with ESRCH when the process has no
// memory.
bool ReadExecutable(int dir_fd, const char* path, char* exe, size_t size, ssize_t* length) {
  *length = readlinkat(dir_fd, path, exe, size - 1);
  if (*length >= 0) {
    return true;
  }
  const int saved_errno = errno;
  if (saved_errno == EACCES || saved_errno == EPERM) {
    return true;
  }
  errno = ProcessErrno(saved_errno);
  return false;
}

// The files of a process that its area is read from, and its executable
// path. They are opened by number, "/proc/<pid>/...", each open naming
// the number anew, which saves opening and closing the directory. The stat
// file, opened and read first (OpenStatFile), is read again after the
// last of them: it reads only while its process has not been reaped,
// and until then the number names no other process, so every file opened
// by number in between was that process's. Where the main thread has
// exited, the files are a live thread's, below its own directory.
struct ArgumentSource {
  int stat_fd;      // the stat file, read for the image marks and as proof
  StatFields first; // its first read, the image mark before the area
  int dir_fd;       // AT_FDCWD, or a live thread's directory
  char prefix[32];  // "/proc/<pid>/" with AT_FDCWD, else ""
  bool exe_known;   // false where Linux refuses the path (ReadExecutable)
  char exe[4096];
  size_t exe_length;
};

// The name of the source's file `name`, for openat(source.dir_fd, ...).
const char* SourceFile(const ArgumentSource& source, const char* name, char (&path)[64]) {
  snprintf(path, sizeof path, "%s%s", source.prefix, name);
  return path;
}

void CloseArgumentSource(ArgumentSource* source) {
  CloseKeepingErrno(source->stat_fd);
  if (source->dir_fd != AT_FDCWD) {
    CloseKeepingErrno(source->dir_fd);
  }
}

// For a process that shows no executable: a zombie, a kernel thread or a
// process on its way out are no process to macOS (ESRCH); a process whose
// main thread alone has exited is, and the source moves to a live
// thread's directory and its stat file.
bool MoveToLiveThread(int pid, ArgumentSource* source) {
  const int dir_fd = OpenProcDir(pid);
  if (dir_fd < 0) {
    return false;
  }
  // Read after the directory was opened: the directory is the process's.
  StatFields stat;
  bool ok = ReadStatFile(source->stat_fd, &stat);
  if (ok && (stat.state != 'Z' || ProcessEnded(stat) || (stat.flags & kKernelThreadFlag) != 0)) {
    errno = ESRCH;
    ok = false;
  }
  const int thread_fd = ok ? OpenLiveThread(dir_fd, pid) : -1;
  CloseKeepingErrno(dir_fd);
  if (thread_fd < 0) {
    return false;
  }
  const int stat_fd = openat(thread_fd, "stat", O_RDONLY | O_CLOEXEC);
  if (stat_fd < 0) {
    errno = ProcessErrno(errno);
    CloseKeepingErrno(thread_fd);
    return false;
  }
  close(source->stat_fd);
  source->stat_fd = stat_fd;
  source->dir_fd = thread_fd;
  source->prefix[0] = '\0';
  // The mark before the area is the live thread's, as the one after will be.
  return ReadStatFile(source->stat_fd, &source->first);
}

// Completes a source whose stat_fd and first are set (OpenStatFile). On
// success the caller closes the source (CloseArgumentSource); on failure
// it is closed here.
bool CompleteArgumentSource(int pid, ArgumentSource* source) {
  source->dir_fd = AT_FDCWD;
  snprintf(source->prefix, sizeof source->prefix, "/proc/%d/", pid);
  char path[64];
  ssize_t length = 0;
  bool ok = ReadExecutable(source->dir_fd, SourceFile(*source, "exe", path), source->exe,
                           sizeof source->exe, &length);
  if (!ok && errno == ESRCH) {
    ok = MoveToLiveThread(pid, source) &&
         ReadExecutable(source->dir_fd, SourceFile(*source, "exe", path), source->exe,
                        sizeof source->exe, &length);
  }
  if (!ok) {
    CloseArgumentSource(source);
    return false;
  }
  source->exe_known = length >= 0;
  source->exe_length = length >= 0 ? static_cast<size_t>(length) : 0;
  return true;
}

// On success the caller closes the source (CloseArgumentSource).
bool OpenArgumentSource(int pid, ArgumentSource* source) {
  source->stat_fd = OpenStatFile(pid, &source->first);
  return source->stat_fd >= 0 && CompleteArgumentSource(pid, source);
}

// Appends the environment where the caller may read it. Linux keeps the
// environment of a process that is not dumpable from a caller of its own
// user who is not root; macOS leaves the environment out of the area of a
// protected process for such a caller, so the area then holds none. Root
// is refused nothing by macOS: where Linux refuses root (the environment
// of a process whose capabilities exceed the caller's, pid 1 in a
// sandbox), the area cannot be read as macOS would give it, and the read
// fails with the kernel's EACCES instead of answering "no variables".
bool AppendEnvironment(const ArgumentSource& source, Bytes* area) {
  const size_t start = area->size;
  char path[64];
  if (!AppendProcFile(source.dir_fd, SourceFile(source, "environ", path), area)) {
    if ((errno != EACCES && errno != EPERM) || geteuid() == 0) {
      return false;
    }
    area->size = start;
    return true;
  }
  return TerminateStrings(area, start);
}

// Whether the source's process has ended: a zombie, or on its way out
// (PF_EXITING is set before its memory goes). ESRCH once it has been
// reaped: the stat file stays with that one process, so a later process
// with the same number never answers for it.
bool SourceProcessEnded(const ArgumentSource& source, bool* ended) {
  StatFields stat;
  if (!ReadStatFile(source.stat_fd, &stat)) {
    return false;
  }
  *ended = ProcessEnded(stat) || (stat.flags & kExitingFlag) != 0;
  return true;
}

// A pause between two reads of a process that is between two programs:
// 50 us, doubled each time (at most about 6 ms in all).
void WaitForExec(int attempt) {
  struct timespec pause = {0, 50000L << attempt};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// Reads the arguments into *arguments, zero-terminated. An empty cmdline
// is an ended process, whose memory is gone (ESRCH), or a live one in the
// middle of an exec: from taking its new memory until the kernel has
// written the new arguments into it, cmdline and environ read empty
// (measured: 3,112 of 133,943 reads of a process exec'ing in a loop).
// That one is read again, a bounded number of times, while the same
// process is still live; after that the area is unreadable (EAGAIN),
// never "gone".
bool ReadArguments(const ArgumentSource& source, Bytes* arguments) {
  char path[64];
  SourceFile(source, "cmdline", path);
  for (int attempt = 0;; ++attempt) {
    if (!AppendProcFile(source.dir_fd, path, arguments)) {
      return false;
    }
    if (arguments->size > 0) {
      return TerminateStrings(arguments, 0);
    }
    bool ended = false;
    if (!SourceProcessEnded(source, &ended)) {
      return false;
    }
    if (ended || attempt == kExecRetries) {
      errno = ended ? ESRCH : EAGAIN;
      return false;
    }
    WaitForExec(attempt);
  }
}

// The zero bytes between the executable path's zero byte and argv: macOS
// pads its 16-byte key, the path and the zero byte to the 8-byte pointer
// size (see the add-on's reader).
size_t PathPadding(size_t path_length) {
  return (8 - (16 + path_length + 1) % 8) % 8;
}

// Builds the area: count word, executable path, zero padding as macOS
// lays it out, the arguments, then the environment. Where the executable
// path is refused, the first argument stands in for it.
bool FillArgumentArea(const ArgumentSource& source, Bytes* area) {
  Bytes arguments{nullptr, 0, 0};
  bool ok = ReadArguments(source, &arguments);
  const int32_t count = ok ? CountStrings(arguments.data, arguments.size) : 0;
  const char* path = source.exe_known ? source.exe : arguments.data;
  const size_t path_length = source.exe_known ? source.exe_length : ok ? strlen(path) : 0;
  const char zeros[8] = {0};
  ok = ok && Append(area, &count, sizeof count) && Append(area, path, path_length) &&
       Append(area, zeros, 1) && Append(area, zeros, PathPadding(path_length)) &&
       Append(area, arguments.data, arguments.size) && AppendEnvironment(source, area);
  FreeBytes(&arguments);
  return ok;
}

// What changes when a process executes a new program: the executable
// path, the command name and, with address-space randomisation, where the
// arguments and the environment lie. macOS hands out the area in one
// piece; here it is read file by file, so an exec in between would mix two
// programs' areas (the old executable path with the new arguments). The
// source's first stat read and its executable path, read before the area,
// and both read again after, show when equal that no exec came between.
// The stat file is the source's, read from its start each time: each read
// of it is made afresh.
struct StatMark {
  char comm[64];
  unsigned long long spans[4];
};

void MarkOf(const StatFields& stat, StatMark* mark) {
  memset(mark, 0, sizeof *mark);
  memcpy(mark->comm, stat.comm, sizeof mark->comm);
  mark->spans[0] = stat.arg_start;
  mark->spans[1] = stat.arg_end;
  mark->spans[2] = stat.env_start;
  mark->spans[3] = stat.env_end;
}

bool ReadStatMark(int stat_fd, StatMark* mark) {
  StatFields stat;
  if (!ReadStatFile(stat_fd, &stat)) {
    return false;
  }
  MarkOf(stat, mark);
  return true;
}

// Reads the executable path again; *same tells whether it is the source's.
bool SameExecutable(const ArgumentSource& source, bool* same) {
  char exe[sizeof source.exe];
  char path[64];
  ssize_t length = 0;
  if (!ReadExecutable(source.dir_fd, SourceFile(source, "exe", path), exe, sizeof exe, &length)) {
    return false;
  }
  *same = source.exe_known ? length == static_cast<ssize_t>(source.exe_length) &&
                                 memcmp(exe, source.exe, source.exe_length) == 0
                           : length < 0;
  return true;
}

// One read of the area between two image marks. Sets *same_image to
// whether the area belongs to one program throughout.
bool FillBetweenMarks(const ArgumentSource& source, Bytes* area, bool* same_image) {
  StatMark before;
  StatMark after;
  MarkOf(source.first, &before);
  bool same_exe = false;
  const bool ok = FillArgumentArea(source, area) &&
                  SameExecutable(source, &same_exe) && ReadStatMark(source.stat_fd, &after);
  if (ok) {
    *same_image = same_exe && memcmp(&before, &after, sizeof before) == 0;
  }
  return ok;
}

bool BuildArgumentArea(int pid, Bytes* area) {
  for (int attempt = 0; attempt < kImageRetries; ++attempt) {
    ArgumentSource source;
    if (!OpenArgumentSource(pid, &source)) {
      return false;
    }
    bool same_image = false;
    const bool ok = FillBetweenMarks(source, area, &same_image);
    CloseArgumentSource(&source);
    if (!ok || same_image) {
      return ok;
    }
    FreeBytes(area);  // the process executed a program meanwhile; read again
  }
  errno = EAGAIN;
  return false;
}

// An upper bound of the area's size, for a size query, without reading the
// area itself: from the memory spans of the arguments and the environment
// in stat. A process that rewrote its arguments without a final zero byte
// has them read on into the environment's span, hence the span from the
// arguments' start to the environment's end. The executable path is not
// read for this: Linux shows the spans only to a caller it shows the
// executable link too (both take the same ptrace access check), so the
// path is the link's, at most PATH_MAX - 1 bytes; should the process lose
// that access before the area is read (a set-user-id exec), the area
// outgrows the bound and the caller sees it. Where stat shows no spans
// (Linux hides them where it refuses the executable path; a process
// without memory has none) the area is built, from the stat file already
// open, so that its size is that of this very process.
bool ArgumentAreaBound(int pid, size_t* bound) {
  ArgumentSource source;
  source.stat_fd = OpenStatFile(pid, &source.first);
  if (source.stat_fd < 0) {
    return false;
  }
  const StatFields stat = source.first;
  if (stat.arg_start == 0 || stat.env_end < stat.env_start || stat.env_start < stat.arg_start ||
      stat.arg_end < stat.arg_start) {
    if (!CompleteArgumentSource(pid, &source)) {
      return false;
    }
    Bytes area{nullptr, 0, 0};
    const bool ok = FillArgumentArea(source, &area);
    *bound = area.size;
    FreeBytes(&area);
    CloseArgumentSource(&source);
    return ok;
  }
  close(source.stat_fd);
  const size_t arguments = static_cast<size_t>(stat.env_end - stat.arg_start);
  const size_t environment = static_cast<size_t>(stat.env_end - stat.env_start);
  const size_t path = sizeof(ArgumentSource::exe) - 1;
  *bound = sizeof(int32_t) + path + 1 + 7 + arguments + 1 + environment + 1;
  return true;
}

}  // namespace

namespace procinfo_linux {

uint64_t StartTimeUniqueId(int pid, unsigned long long start_ticks) {
  // Start ticks since boot in the high bits, the pid (below 2^22, the
  // kernel's largest pid_max) in the low ones. Two processes get the same
  // value only if one number is handed out twice within one clock tick
  // (10 ms), which needs the whole pid space to wrap in that time. The
  // value is never 0, and it restarts with each boot, as macOS's does.
  return (static_cast<uint64_t>(start_ticks) << 22) | static_cast<uint64_t>(pid & 0x3fffff);
}

IdentifierSource ActiveIdentifierSource() { return CurrentSource(); }

void ForceIdentifierSource(int source) { forced_source.store(source); }

}  // namespace procinfo_linux

namespace {

// Answers one flavour: the record `read` fills, copied out whole, as
// proc_pidinfo does, or 0 with errno set. A buffer too small for the
// record is EINVAL.
template <typename Record>
int AnswerFlavor(bool (*read)(int, Record*), int pid, void* buffer, int buffersize) {
  if (buffer == nullptr || buffersize < static_cast<int>(sizeof(Record))) {
    errno = EINVAL;
    return 0;
  }
  Record record;
  if (!read(pid, &record)) {
    return 0;
  }
  memcpy(buffer, &record, sizeof record);
  return static_cast<int>(sizeof record);
}

// The error of a failed area read as macOS's sysctl gives it. macOS
// refuses a number that names no process, a zombie among them, with
// EINVAL (the add-on then asks kill whether the process is gone). A thread
// id and a kernel thread keep ESRCH: macOS has no number for them, so its
// kill would answer ESRCH, while Linux's kill finds them; ESRCH gives the
// add-on the answer it would reach on a Mac.
int ArgumentAreaErrno(int pid, int error) {
  if (error != ESRCH) {
    return error;
  }
  const int dir_fd = OpenProcDir(pid);
  if (dir_fd < 0) {
    return EINVAL;  // the number is not in use (any more)
  }
  StatFields stat;
  const bool zombie = ReadStatAt(dir_fd, &stat) && ProcessEnded(stat) &&
                      (stat.flags & kKernelThreadFlag) == 0 && stat.pid == pid;
  close(dir_fd);
  return zombie ? EINVAL : ESRCH;
}

// Copies the area into a buffer of *capacity bytes, at least the count
// word's. Where the area does not fit, macOS does not fail the read: it
// copies the area's last bytes behind the count word and reports the
// buffer full. Otherwise *capacity becomes the area's size.
void CopyArgumentArea(const Bytes& area, char* buffer, size_t* capacity) {
  if (*capacity >= area.size) {
    memcpy(buffer, area.data, area.size);
    *capacity = area.size;
    return;
  }
  const size_t tail = *capacity - sizeof(int32_t);
  memcpy(buffer, area.data, sizeof(int32_t));
  memcpy(buffer + sizeof(int32_t), area.data + area.size - tail, tail);
}

}  // namespace

extern "C" int proc_pidinfo(int pid, int flavor, uint64_t arg, void* buffer, int buffersize) {
  (void)arg;
  if (pid <= 0) {
    errno = ESRCH;
    return 0;
  }
  if (flavor == PROC_PIDTBSDINFO) {
    return AnswerFlavor(ReadBsdInfo, pid, buffer, buffersize);
  }
  if (flavor == PROC_PIDUNIQIDENTIFIERINFO) {
    return AnswerFlavor(ReadUniqueIds, pid, buffer, buffersize);
  }
  errno = EINVAL;
  return 0;
}

extern "C" int proc_listallpids(void* buffer, int buffersize) {
  if (buffer != nullptr && buffersize < 0) {
    errno = EINVAL;
    return -1;
  }
  DIR* proc = opendir("/proc");
  if (proc == nullptr) {
    return -1;
  }
  const size_t capacity = buffer == nullptr ? 0 : static_cast<size_t>(buffersize) / sizeof(int);
  int* pids = static_cast<int*>(buffer);
  size_t count = 0;
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(proc);
    if (entry == nullptr) {
      break;
    }
    const int pid = EntryPid(entry->d_name);
    if (pid == 0) {
      continue;
    }
    if (buffer == nullptr) {
      ++count;
      continue;
    }
    if (count == capacity) {
      break;
    }
    // Kernel threads are listed too: the BSD read that follows for every
    // listed number answers ESRCH for them, as for a process gone since
    // readdir saw it. Filtering here would repeat that read's work for
    // every process.
    pids[count++] = pid;
  }
  const int saved_errno = errno;
  closedir(proc);
  if (saved_errno != 0) {
    errno = saved_errno;
    return -1;
  }
  return static_cast<int>(count);
}

extern "C" int darwin_sysctl(int* name, unsigned int namelen, void* oldp, size_t* oldlenp,
                             void* newp, size_t newlen) {
  if (name == nullptr || namelen != 3 || name[0] != CTL_KERN || name[1] != KERN_PROCARGS2 ||
      newp != nullptr || newlen != 0 || oldlenp == nullptr) {
    errno = ENOTSUP;
    return -1;
  }
  if (name[2] <= 0) {
    errno = EINVAL;
    return -1;
  }
  if (oldp == nullptr) {
    if (!ArgumentAreaBound(name[2], oldlenp)) {
      errno = ArgumentAreaErrno(name[2], errno);
      return -1;
    }
    return 0;
  }
  Bytes area{nullptr, 0, 0};
  if (!BuildArgumentArea(name[2], &area)) {
    errno = ArgumentAreaErrno(name[2], errno);
    FreeBytes(&area);
    return -1;
  }
  if (*oldlenp < sizeof(int32_t)) {
    FreeBytes(&area);
    errno = EINVAL;  // no room for the count word; the add-on never asks so little
    return -1;
  }
  CopyArgumentArea(area, static_cast<char*>(oldp), oldlenp);
  FreeBytes(&area);
  return 0;
}
