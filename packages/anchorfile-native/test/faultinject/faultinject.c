// Test-only LD_PRELOAD interposer for the crash-point tests of anchorfile.
//
// It wraps the libc file-system calls that a removal makes and numbers those
// that belong to the removal, so that a test can stop the process dead right
// after the k-th call, make the k-th call fail, or swap the file for another
// one at that moment, and then check that recovery loses nothing. The
// product code is the same code that ships: only the process it runs in has
// this library preloaded.
//
// Which calls count: the interposer arms itself when the calling thread opens
// the directory named by ANCHORFILE_FAULT_ROOT with O_DIRECTORY|O_NOFOLLOW
// (the first step of every removal and recovery), and from then on counts,
// on that thread only, each call made on a descriptor that descends from
// that open (the walk, the parent, the quarantine, the receipt). Node's own
// file work runs on other descriptors and other threads and is never
// counted. When the last such descriptor is closed the operation is over and
// counting stops until another root is opened: each root arms the
// interposer once, and the variables below are read afresh at each arming,
// so one child can run many operations (setting process.env before each) as
// long as none of them stops the process.
//
// Environment:
//   ANCHORFILE_FAULT_ROOT    storage root path that arms the interposer
//   ANCHORFILE_FAULT_AT      k, the 1-based number of the call to act on
//   ANCHORFILE_FAULT_ACTION  none | exit | tear | EIO | ENOSPC | EINTR |
//                            short | swap | truncate | recreate
//                            exit: _exit(77) right after the k-th call
//                            tear: like exit, but a write at k writes only
//                                  the first half of its bytes
//                            EIO/ENOSPC/EINTR: the k-th call fails with it
//                                  (a close still releases its descriptor,
//                                  as Linux does)
//                            short: a read or write at k moves only the
//                                  first half of its bytes and says so
//                            swap: after the k-th call, exchange the file at
//                                  ANCHORFILE_FAULT_SWAP_NAME with the one at
//                                  ANCHORFILE_FAULT_SWAP_WITH (or move the
//                                  latter there if the name is free), then
//                                  go on; with ANCHORFILE_FAULT_EXIT_AFTER=1
//                                  also _exit(77) right after call k + 1
//                            truncate: after the k-th call, truncate the
//                                  file open at ANCHORFILE_FAULT_WRITER_FD
//                                  to nothing, as a writer holding it open
//                                  would
//                            recreate: after the k-th call, replace the
//                                  file at ANCHORFILE_FAULT_SWAP_NAME by an
//                                  empty one with the same inode number, as
//                                  ext4 often hands a freed number to the
//                                  next file, and hold it open on descriptor
//                                  ANCHORFILE_FAULT_WRITER_FD
//   ANCHORFILE_FAULT_JOB     a tag; a new tag arms the interposer again on a
//                            root it has already armed on, so that a child
//                            can record a removal and then its recovery
//   ANCHORFILE_FAULT_LOG     file that receives one line per counted call:
//                            number, call, object, result, errno name
//
// Recording mode, for the power-loss replay (crash-replay.test.js), which
// rebuilds the disk a power loss could leave from these records:
//   ANCHORFILE_FAULT_RECORD  file that receives one line per counted call:
//                            number, call, path, second path, flags (hex),
//                            result, and for a write "offset:bytes in hex";
//                            paths are below the storage root ("" is the
//                            root). A swap adds a line "swap-exchange" (or
//                            "swap-rename") numbered after the call it
//                            followed.
//   ANCHORFILE_FAULT_SKIP    comma-separated numbers of fsync calls to leave
//                            out: not made, reported as done
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif
#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

#define EXPORTED __attribute__((visibility("default")))
#define CRASH_STATUS 77
#define MAX_TRACKED 64
#define LABEL_SIZE 96
#define PATH_SIZE 512
#define TEXT_SIZE 4096

enum Action {
  ACTION_NONE,
  ACTION_EXIT,
  ACTION_TEAR,
  ACTION_FAIL,
  ACTION_SHORT,
  ACTION_SWAP,
  ACTION_TRUNCATE,
  ACTION_RECREATE
};

// Copied out of the environment when a removal arms the interposer, since a
// child that runs several removals changes the variables between them.
struct Config {
  char root[TEXT_SIZE];
  long at;
  enum Action action;
  int fail_errno;
  int exit_after_swap;
  char swap_name[TEXT_SIZE];
  char swap_with[TEXT_SIZE];
  char log_path[TEXT_SIZE];
  char record_path[TEXT_SIZE];
  char skip[TEXT_SIZE];
  char job[TEXT_SIZE];
  int writer_fd;
};

// Descriptors that descend from the armed root open, with the name each was
// opened under (for the log) and its path below the root (for the record).
struct Tracked {
  int fd;
  char label[LABEL_SIZE];
  char path[PATH_SIZE];
};

// What replaying one counted call needs beyond its name and result; each
// wrapper fills in what its call has.
struct Detail {
  char path[PATH_SIZE];
  char path2[PATH_SIZE];
  unsigned flags;
  const void* bytes;
  long offset;
};

static struct Config config;
static _Atomic long armed_thread;  // thread id while armed, else 0
static struct Tracked tracked[MAX_TRACKED];
static int tracked_count;
static long call_number;
static int log_fd = -1;
static int record_fd = -1;
static int swapped;

// ---------------------------------------------------------------------------
// The real functions, found past this library in the lookup order. When a
// sanitizer runtime is preloaded first, its interceptors call into us and we
// call on into libc.

typedef int (*OpenFn)(const char*, int, ...);
typedef int (*OpenatFn)(int, const char*, int, ...);
typedef int (*FstatFn)(int, struct stat*);
typedef int (*FstatatFn)(int, const char*, struct stat*, int);
typedef int (*MkdiratFn)(int, const char*, mode_t);
typedef int (*RenameatFn)(int, const char*, int, const char*);
typedef int (*Renameat2Fn)(int, const char*, int, const char*, unsigned int);
typedef int (*UnlinkatFn)(int, const char*, int);
typedef int (*FdFn)(int);
typedef int (*FlockFn)(int, int);
typedef ssize_t (*WriteFn)(int, const void*, size_t);
typedef ssize_t (*ReadFn)(int, void*, size_t);

// Looks a symbol up once and keeps it; node calls these from many threads.
static void* Lookup(_Atomic(void*)* slot, const char* name) {
  void* symbol = atomic_load(slot);
  if (symbol != NULL) return symbol;
  symbol = dlsym(RTLD_NEXT, name);
  if (symbol == NULL) {
    static const char message[] = "anchorfile_faultinject: missing libc symbol\n";
    (void)syscall(SYS_write, 2, message, sizeof(message) - 1);
    _exit(70);
  }
  atomic_store(slot, symbol);
  return symbol;
}

// dlsym hands out an object pointer; ISO C has no cast from it to a
// function pointer, so the bits are copied.
#define DEFINE_REAL(type, function, symbol)        \
  static type function(void) {                     \
    static _Atomic(void*) slot;                    \
    void* found = Lookup(&slot, symbol);           \
    type result;                                   \
    memcpy(&result, &found, sizeof(result));       \
    return result;                                 \
  }

DEFINE_REAL(OpenFn, RealOpen, "open")
DEFINE_REAL(OpenatFn, RealOpenat, "openat")
DEFINE_REAL(FstatFn, RealFstat, "fstat")
DEFINE_REAL(FstatatFn, RealFstatat, "fstatat")
DEFINE_REAL(MkdiratFn, RealMkdirat, "mkdirat")
DEFINE_REAL(RenameatFn, RealRenameat, "renameat")
DEFINE_REAL(Renameat2Fn, RealRenameat2, "renameat2")
DEFINE_REAL(UnlinkatFn, RealUnlinkat, "unlinkat")
DEFINE_REAL(FlockFn, RealFlock, "flock")
DEFINE_REAL(FdFn, RealFsync, "fsync")
DEFINE_REAL(FdFn, RealClose, "close")
DEFINE_REAL(WriteFn, RealWrite, "write")
DEFINE_REAL(ReadFn, RealRead, "read")

// ---------------------------------------------------------------------------
// Configuration and bookkeeping

static enum Action ParseAction(const char* text, int* fail_errno) {
  *fail_errno = 0;
  if (text == NULL || strcmp(text, "none") == 0) return ACTION_NONE;
  if (strcmp(text, "exit") == 0) return ACTION_EXIT;
  if (strcmp(text, "tear") == 0) return ACTION_TEAR;
  if (strcmp(text, "swap") == 0) return ACTION_SWAP;
  if (strcmp(text, "short") == 0) return ACTION_SHORT;
  if (strcmp(text, "truncate") == 0) return ACTION_TRUNCATE;
  if (strcmp(text, "recreate") == 0) return ACTION_RECREATE;
  if (strcmp(text, "EINTR") == 0) {
    *fail_errno = EINTR;
    return ACTION_FAIL;
  }
  if (strcmp(text, "EIO") == 0) {
    *fail_errno = EIO;
    return ACTION_FAIL;
  }
  if (strcmp(text, "ENOSPC") == 0) {
    *fail_errno = ENOSPC;
    return ACTION_FAIL;
  }
  return ACTION_NONE;
}

static void CopyVariable(char* out, const char* name) {
  const char* value = getenv(name);
  snprintf(out, TEXT_SIZE, "%s", value != NULL ? value : "");
}

static void LoadConfig(void) {
  CopyVariable(config.root, "ANCHORFILE_FAULT_ROOT");
  const char* at = getenv("ANCHORFILE_FAULT_AT");
  config.at = at != NULL ? strtol(at, NULL, 10) : 0;
  config.action = ParseAction(getenv("ANCHORFILE_FAULT_ACTION"), &config.fail_errno);
  const char* exit_after = getenv("ANCHORFILE_FAULT_EXIT_AFTER");
  config.exit_after_swap = exit_after != NULL && strcmp(exit_after, "1") == 0;
  CopyVariable(config.swap_name, "ANCHORFILE_FAULT_SWAP_NAME");
  CopyVariable(config.swap_with, "ANCHORFILE_FAULT_SWAP_WITH");
  CopyVariable(config.log_path, "ANCHORFILE_FAULT_LOG");
  CopyVariable(config.record_path, "ANCHORFILE_FAULT_RECORD");
  CopyVariable(config.skip, "ANCHORFILE_FAULT_SKIP");
  CopyVariable(config.job, "ANCHORFILE_FAULT_JOB");
  const char* writer = getenv("ANCHORFILE_FAULT_WRITER_FD");
  config.writer_fd = writer != NULL && writer[0] != '\0' ? (int)strtol(writer, NULL, 10) : -1;
}

static long ThreadId(void) {
  return (long)syscall(SYS_gettid);
}

static int OnArmedThread(void) {
  const long thread = atomic_load(&armed_thread);
  return thread != 0 && thread == ThreadId();
}

static struct Tracked* FindTracked(int fd) {
  for (int i = 0; i < tracked_count; ++i) {
    if (tracked[i].fd == fd) return &tracked[i];
  }
  return NULL;
}

static int IsTracked(int fd) {
  return OnArmedThread() && FindTracked(fd) != NULL;
}

static void Track(int fd, const char* label, const char* path) {
  if (fd < 0 || tracked_count == MAX_TRACKED) return;
  tracked[tracked_count].fd = fd;
  snprintf(tracked[tracked_count].label, LABEL_SIZE, "%s", label);
  snprintf(tracked[tracked_count].path, PATH_SIZE, "%s", path);
  ++tracked_count;
}

static void Untrack(int fd) {
  for (int i = 0; i < tracked_count; ++i) {
    if (tracked[i].fd == fd) {
      tracked[i] = tracked[tracked_count - 1];
      --tracked_count;
      return;
    }
  }
}

// The removal has closed every descriptor it opened: stop counting, so that
// nothing node does afterwards is ever numbered.
static void DisarmIfDone(void) {
  if (tracked_count == 0) atomic_store(&armed_thread, 0);
}

static const char* LabelOf(int fd) {
  const struct Tracked* entry = FindTracked(fd);
  return entry != NULL ? entry->label : "?";
}

static const char* PathOf(int fd) {
  const struct Tracked* entry = FindTracked(fd);
  return entry != NULL ? entry->path : "?";
}

// The path below the root of an entry in a tracked directory.
static void EntryPath(char* out, int dir_fd, const char* name) {
  const char* dir = PathOf(dir_fd);
  snprintf(out, PATH_SIZE, "%s%s%s", dir, dir[0] != '\0' ? "/" : "", name);
}

// The log's name for an entry reached through a tracked directory.
static void EntryObject(char* object, size_t size, int dir_fd, const char* path) {
  snprintf(object, size, "%s/%s", LabelOf(dir_fd), path);
}

static const char* ErrnoName(int number) {
  switch (number) {
    case 0: return "-";
    case ENOENT: return "ENOENT";
    case EEXIST: return "EEXIST";
    case EIO: return "EIO";
    case EINTR: return "EINTR";
    case ENOSPC: return "ENOSPC";
    case ENOTDIR: return "ENOTDIR";
    case ELOOP: return "ELOOP";
    case EPERM: return "EPERM";
    case EACCES: return "EACCES";
    case EINVAL: return "EINVAL";
    case ENOTEMPTY: return "ENOTEMPTY";
    case EWOULDBLOCK: return "EWOULDBLOCK";
    default: return "other";
  }
}

static void Log(long number, const char* call, const char* object, long result, int error) {
  if (log_fd < 0) return;
  char line[512];
  const int length = snprintf(line, sizeof(line), "%ld\t%s\t%s\t%ld\t%s\n", number, call, object,
                              result, result < 0 ? ErrnoName(error) : "-");
  if (length <= 0) return;
  const size_t size = (size_t)length < sizeof(line) ? (size_t)length : sizeof(line) - 1;
  (void)RealWrite()(log_fd, line, size);
}

// One record line; a write's bytes go in hex, so a line never breaks.
static void Record(long number, const char* call, const struct Detail* detail, long result) {
  if (record_fd < 0) return;
  static char line[3 * TEXT_SIZE];
  int length = snprintf(line, sizeof(line), "%ld\t%s\t%s\t%s\t%x\t%ld\t", number, call,
                        detail->path, detail->path2, detail->flags, result);
  if (length <= 0 || (size_t)length >= sizeof(line)) return;
  if (detail->bytes != NULL && result > 0 && (size_t)result <= TEXT_SIZE) {
    length += snprintf(line + length, sizeof(line) - (size_t)length, "%ld:", detail->offset);
    const unsigned char* bytes = detail->bytes;
    for (long i = 0; i < result; ++i) {
      length += snprintf(line + length, sizeof(line) - (size_t)length, "%02x", bytes[i]);
    }
  } else {
    line[length++] = '-';
  }
  line[length++] = '\n';
  (void)RealWrite()(record_fd, line, (size_t)length);
}

static int OpenAppend(int old_fd, const char* path) {
  if (old_fd >= 0) RealClose()(old_fd);
  if (path[0] == '\0') return -1;
  return RealOpen()(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
}

static void OpenLog(void) {
  log_fd = OpenAppend(log_fd, config.log_path);
  record_fd = OpenAppend(record_fd, config.record_path);
}

// Whether this fsync is one the recording leaves out.
static int ShouldSkip(long number) {
  for (const char* next = config.skip; *next != '\0';) {
    char* end = NULL;
    if (strtol(next, &end, 10) == number && end != next) return 1;
    if (end == next || *end != ',') return 0;
    next = end + 1;
  }
  return 0;
}

// A swap path, made relative to the root for the record.
static void RootRelative(char* out, const char* path) {
  const size_t length = strlen(config.root);
  const int below = strncmp(path, config.root, length) == 0 && path[length] == '/';
  snprintf(out, PATH_SIZE, "%s", below ? path + length + 1 : path);
}

// Swaps the file under the removal's feet: exchange the two names if both
// exist, else move the stand-in into the free name. Neither file is ever
// deleted by the swap itself.
static void SwapFile(long number) {
  if (swapped || config.swap_name[0] == '\0' || config.swap_with[0] == '\0') return;
  swapped = 1;
  Renameat2Fn renameat2_real = RealRenameat2();
  const int saved_errno = errno;
  struct Detail detail;
  memset(&detail, 0, sizeof(detail));
  RootRelative(detail.path, config.swap_name);
  RootRelative(detail.path2, config.swap_with);
  const char* call = "swap-exchange";
  long result =
      renameat2_real(AT_FDCWD, config.swap_name, AT_FDCWD, config.swap_with, RENAME_EXCHANGE);
  if (result != 0) {
    call = "swap-rename";
    RootRelative(detail.path, config.swap_with);
    RootRelative(detail.path2, config.swap_name);
    result = renameat2_real(AT_FDCWD, config.swap_with, AT_FDCWD, config.swap_name,
                            RENAME_NOREPLACE);
  }
  Record(number, call, &detail, result);
  errno = saved_errno;
}

// The other writer's move: truncate the file it holds open, or replace the
// file at the name by a new empty one that it then holds open on its
// descriptor. The new file is given the old one's inode number for certain
// (ext4 does so often, not always): the inode is kept under a spare link
// while the name is unlinked, emptied and linked back, so the name's entry
// goes and comes back with the same device and inode, size 0 and a new
// modification time. None of these calls is counted: the interposer wraps
// none of ftruncate, link and unlink, and the open goes to the real one.
static void ActAsWriter(enum Action action) {
  const int saved_errno = errno;
  if (action == ACTION_TRUNCATE) {
    (void)ftruncate(config.writer_fd, 0);
    errno = saved_errno;
    return;
  }
  char kept[TEXT_SIZE + 8];
  snprintf(kept, sizeof(kept), "%s.kept", config.swap_name);
  if (link(config.swap_name, kept) == 0 && unlink(config.swap_name) == 0) {
    const int fd = RealOpen()(kept, O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
    (void)link(kept, config.swap_name);
    (void)unlink(kept);
    if (fd >= 0 && fd != config.writer_fd) {
      (void)dup2(fd, config.writer_fd);
      (void)RealClose()(fd);
    }
  }
  errno = saved_errno;
}

// Decides, before the call runs, whether it is the one to fail.
static int ShouldFail(long number) {
  return config.action == ACTION_FAIL && number == config.at;
}

// Runs after a counted call has been made: the crash and swap points.
static void AfterCall(long number) {
  if (number == config.at) {
    if (config.action == ACTION_EXIT || config.action == ACTION_TEAR) _exit(CRASH_STATUS);
    if (config.action == ACTION_SWAP) SwapFile(number);
    if (config.action == ACTION_TRUNCATE || config.action == ACTION_RECREATE) {
      ActAsWriter(config.action);
    }
  }
  if (config.action == ACTION_SWAP && config.exit_after_swap && number == config.at + 1) {
    _exit(CRASH_STATUS);
  }
}

// BEGIN_CALL numbers one counted call, sets `inject` when it is the one
// that must fail instead of running, and starts its `detail` for the record;
// END_CALL logs and records it and acts after it, keeping the call's errno
// for the caller.
#define BEGIN_CALL(call, object)            \
  const long number = ++call_number;        \
  const int inject = ShouldFail(number);    \
  const char* call_name = (call);           \
  const char* const call_object = (object); \
  struct Detail detail;                     \
  memset(&detail, 0, sizeof(detail))

#define END_CALL(result)                                              \
  do {                                                                \
    const int end_errno = errno;                                      \
    Log(number, call_name, call_object, (long)(result), end_errno);   \
    Record(number, call_name, &detail, (long)(result));              \
    AfterCall(number);                                                \
    errno = end_errno;                                                \
  } while (0)

static int Injected(void) {
  errno = config.fail_errno;
  return -1;
}

// The whole of a counted call that returns int: the injected failure or the
// real call, logged, recorded (`where`: its object below the root) and acted
// after.
#define COUNTED_CALL(call, object, where, real_call)         \
  BEGIN_CALL(call, object);                                  \
  snprintf(detail.path, PATH_SIZE, "%s", (where));           \
  const int result = inject ? Injected() : (real_call);      \
  END_CALL(result);                                          \
  return result

// ---------------------------------------------------------------------------
// Arming

// The removal starts with an anchored open of its storage root. Each root is
// armed once per job tag: a child that runs several removals gives each its
// own root, or the same root under a new tag.
static char last_root[TEXT_SIZE];
static char last_job[TEXT_SIZE];

static int ArmsOn(const char* path, int flags) {
  if ((flags & O_DIRECTORY) == 0 || (flags & O_NOFOLLOW) == 0) return 0;
  if (atomic_load(&armed_thread) != 0) return 0;
  const char* root = getenv("ANCHORFILE_FAULT_ROOT");
  const char* job = getenv("ANCHORFILE_FAULT_JOB");
  if (job == NULL) job = "";
  return root != NULL && strcmp(path, root) == 0 &&
         (strcmp(root, last_root) != 0 || strcmp(job, last_job) != 0);
}

static void Arm(void) {
  LoadConfig();
  snprintf(last_root, sizeof(last_root), "%s", config.root);
  snprintf(last_job, sizeof(last_job), "%s", config.job);
  call_number = 0;
  tracked_count = 0;
  swapped = 0;
  OpenLog();
  atomic_store(&armed_thread, ThreadId());
}

static int OpenMode(int flags, va_list* args) {
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) return va_arg(*args, int);
  return 0;
}

static int OpenCommon(OpenFn open_real, const char* path, int flags, int mode) {
  if (!ArmsOn(path, flags)) return open_real(path, flags, mode);
  Arm();
  BEGIN_CALL("open", "root");
  const int fd = inject ? Injected() : open_real(path, flags, mode);
  detail.flags = (unsigned)flags;
  Track(fd, "root", "");
  END_CALL(fd);
  DisarmIfDone();
  return fd;
}

EXPORTED int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int mode = OpenMode(flags, &args);
  va_end(args);
  return OpenCommon(RealOpen(), path, flags, mode);
}

// ---------------------------------------------------------------------------
// Calls on descriptors of the removal

static int OpenatCommon(OpenatFn openat_real, int dir_fd, const char* path, int flags,
                        int mode) {
  if (!IsTracked(dir_fd)) return openat_real(dir_fd, path, flags, mode);
  // A create is a change to the disk, an open is not; the log tells them
  // apart.
  BEGIN_CALL((flags & O_CREAT) != 0 ? "openat O_CREAT" : "openat", path);
  EntryPath(detail.path, dir_fd, path);
  detail.flags = (unsigned)flags;
  const int fd = inject ? Injected() : openat_real(dir_fd, path, flags, mode);
  Track(fd, path, detail.path);
  END_CALL(fd);
  DisarmIfDone();
  return fd;
}

EXPORTED int openat(int dir_fd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int mode = OpenMode(flags, &args);
  va_end(args);
  return OpenatCommon(RealOpenat(), dir_fd, path, flags, mode);
}

static int FstatCommon(FstatFn fstat_real, int fd, struct stat* status) {
  if (!IsTracked(fd)) return fstat_real(fd, status);
  COUNTED_CALL("fstat", LabelOf(fd), PathOf(fd), fstat_real(fd, status));
}

EXPORTED int fstat(int fd, struct stat* status) {
  return FstatCommon(RealFstat(), fd, status);
}

static int FstatatCommon(FstatatFn fstatat_real, int dir_fd, const char* path,
                         struct stat* status, int flags) {
  if (!IsTracked(dir_fd)) return fstatat_real(dir_fd, path, status, flags);
  char object[LABEL_SIZE * 2];
  EntryObject(object, sizeof(object), dir_fd, path);
  char entry[PATH_SIZE];
  EntryPath(entry, dir_fd, path);
  COUNTED_CALL("fstatat", object, entry, fstatat_real(dir_fd, path, status, flags));
}

EXPORTED int fstatat(int dir_fd, const char* path, struct stat* status, int flags) {
  return FstatatCommon(RealFstatat(), dir_fd, path, status, flags);
}

EXPORTED int mkdirat(int dir_fd, const char* path, mode_t mode) {
  MkdiratFn mkdirat_real = RealMkdirat();
  if (!IsTracked(dir_fd)) return mkdirat_real(dir_fd, path, mode);
  char object[LABEL_SIZE * 2];
  EntryObject(object, sizeof(object), dir_fd, path);
  char entry[PATH_SIZE];
  EntryPath(entry, dir_fd, path);
  COUNTED_CALL("mkdirat", object, entry, mkdirat_real(dir_fd, path, mode));
}

static void RenameObject(char* object, size_t size, int from_fd, const char* from, int to_fd,
                         const char* to) {
  snprintf(object, size, "%s/%s -> %s/%s", LabelOf(from_fd), from, LabelOf(to_fd), to);
}

EXPORTED int renameat2(int from_fd, const char* from, int to_fd, const char* to,
                       unsigned int flags) {
  Renameat2Fn renameat2_real = RealRenameat2();
  if (!IsTracked(from_fd) && !IsTracked(to_fd)) {
    return renameat2_real(from_fd, from, to_fd, to, flags);
  }
  char object[LABEL_SIZE * 4 + 16];
  RenameObject(object, sizeof(object), from_fd, from, to_fd, to);
  BEGIN_CALL("renameat2", object);
  EntryPath(detail.path, from_fd, from);
  EntryPath(detail.path2, to_fd, to);
  detail.flags = flags;
  const int result = inject ? Injected() : renameat2_real(from_fd, from, to_fd, to, flags);
  END_CALL(result);
  return result;
}

EXPORTED int renameat(int from_fd, const char* from, int to_fd, const char* to) {
  RenameatFn renameat_real = RealRenameat();
  if (!IsTracked(from_fd) && !IsTracked(to_fd)) return renameat_real(from_fd, from, to_fd, to);
  char object[LABEL_SIZE * 4 + 16];
  RenameObject(object, sizeof(object), from_fd, from, to_fd, to);
  BEGIN_CALL("renameat", object);
  EntryPath(detail.path, from_fd, from);
  EntryPath(detail.path2, to_fd, to);
  const int result = inject ? Injected() : renameat_real(from_fd, from, to_fd, to);
  END_CALL(result);
  return result;
}

EXPORTED int unlinkat(int dir_fd, const char* path, int flags) {
  UnlinkatFn unlinkat_real = RealUnlinkat();
  if (!IsTracked(dir_fd)) return unlinkat_real(dir_fd, path, flags);
  char object[LABEL_SIZE * 2];
  EntryObject(object, sizeof(object), dir_fd, path);
  BEGIN_CALL("unlinkat", object);
  EntryPath(detail.path, dir_fd, path);
  detail.flags = (unsigned)flags;
  const int result = inject ? Injected() : unlinkat_real(dir_fd, path, flags);
  END_CALL(result);
  return result;
}

EXPORTED int flock(int fd, int operation) {
  FlockFn flock_real = RealFlock();
  if (!IsTracked(fd)) return flock_real(fd, operation);
  COUNTED_CALL("flock", LabelOf(fd), PathOf(fd), flock_real(fd, operation));
}

EXPORTED int fsync(int fd) {
  FdFn fsync_real = RealFsync();
  if (!IsTracked(fd)) return fsync_real(fd);
  BEGIN_CALL("fsync", LabelOf(fd));
  snprintf(detail.path, PATH_SIZE, "%s", PathOf(fd));
  // A sync left out changes nothing this process can see: only a power loss
  // would tell, which is what the replay of the record shows.
  const int skip = ShouldSkip(number);
  if (skip) call_name = "fsync-skipped";
  const int result = inject ? Injected() : skip ? 0 : fsync_real(fd);
  END_CALL(result);
  return result;
}

EXPORTED ssize_t write(int fd, const void* buffer, size_t count) {
  WriteFn write_real = RealWrite();
  if (!IsTracked(fd)) return write_real(fd, buffer, count);
  BEGIN_CALL("write", LabelOf(fd));
  // A torn write puts only the first half on disk before the crash, as a
  // process killed in the middle of writing its receipt would.
  const int half = (config.action == ACTION_TEAR || config.action == ACTION_SHORT) &&
                   number == config.at;
  snprintf(detail.path, PATH_SIZE, "%s", PathOf(fd));
  detail.bytes = buffer;
  detail.offset = (long)lseek(fd, 0, SEEK_CUR);
  const ssize_t result =
      inject ? Injected() : write_real(fd, buffer, half ? count / 2 : count);
  END_CALL(result);
  return result;
}

EXPORTED ssize_t read(int fd, void* buffer, size_t count) {
  ReadFn read_real = RealRead();
  if (!IsTracked(fd)) return read_real(fd, buffer, count);
  BEGIN_CALL("read", LabelOf(fd));
  snprintf(detail.path, PATH_SIZE, "%s", PathOf(fd));
  const int half = config.action == ACTION_SHORT && number == config.at;
  const ssize_t result = inject ? Injected() : read_real(fd, buffer, half ? count / 2 : count);
  END_CALL(result);
  return result;
}

// close releases the descriptor even when it reports a failure, as on Linux,
// so an injected failure still closes it. The entry is dropped before the
// real close so that a descriptor number reused by another thread is never
// taken for one of the removal's.
EXPORTED int close(int fd) {
  FdFn close_real = RealClose();
  if (!IsTracked(fd)) return close_real(fd);
  char label[LABEL_SIZE];
  snprintf(label, sizeof(label), "%s", LabelOf(fd));
  BEGIN_CALL("close", label);
  snprintf(detail.path, PATH_SIZE, "%s", PathOf(fd));
  Untrack(fd);
  int result = close_real(fd);
  if (inject) result = Injected();
  END_CALL(result);
  DisarmIfDone();
  return result;
}
