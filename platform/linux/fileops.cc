// Linux implementations of the macOS file operations declared in
// platform_fileops.h. This unit includes the system headers directly, not
// platform_fileops.h's redirections, so that it reaches the real open,
// openat and renameat2 (and so that a test interposer sees every call).
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace {

constexpr unsigned int kRenameExcl = 0x00000004;
constexpr int kBarrierFsync = 85;  // macOS's F_BARRIERFSYNC

// Linux checks O_DIRECTORY before O_NOFOLLOW, so a symbolic link opened with
// both fails with ENOTDIR; macOS answers ELOOP, and callers rely on ELOOP to
// tell a planted link from a plain file. A no-follow status check of the
// same name turns the answer into macOS's. The check races with a concurrent
// swap of the entry, but either answer is a refusal, so nothing is opened.
int DarwinOpenError(int dir_fd, const char* path, int flags, int saved_errno) {
  if (saved_errno != ENOTDIR || (flags & O_NOFOLLOW) == 0 || (flags & O_DIRECTORY) == 0) {
    return saved_errno;
  }
  struct stat status;
  if (fstatat(dir_fd, path, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)) {
    return ELOOP;
  }
  return saved_errno;
}

int OpenMode(int flags, va_list* args) {
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    return va_arg(*args, int);
  }
  return 0;
}

}  // namespace

extern "C" int darwin_openat(int dir_fd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int mode = OpenMode(flags, &args);
  va_end(args);
  const int fd = ::openat(dir_fd, path, flags, mode);
  if (fd >= 0) {
    return fd;
  }
  const int saved_errno = errno;
  errno = DarwinOpenError(dir_fd, path, flags, saved_errno);
  return -1;
}

extern "C" int darwin_fcntl(int fd, int command, ...) {
  if (command == kBarrierFsync) {
    return fsync(fd);
  }
  // Every command's argument fits a pointer, as glibc's own fcntl reads it.
  va_list args;
  va_start(args, command);
  void* argument = va_arg(args, void*);
  va_end(args);
  return ::fcntl(fd, command, argument);
}

extern "C" int darwin_open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int mode = OpenMode(flags, &args);
  va_end(args);
  const int fd = ::open(path, flags, mode);
  if (fd >= 0) {
    return fd;
  }
  const int saved_errno = errno;
  errno = DarwinOpenError(AT_FDCWD, path, flags, saved_errno);
  return -1;
}

extern "C" int renameatx_np(int from_fd, const char* from, int to_fd, const char* to,
                            unsigned int flags) {
  if (flags == 0) {
    return ::renameat(from_fd, from, to_fd, to);
  }
  if (flags != kRenameExcl) {
    errno = EINVAL;
    return -1;
  }
  if (::renameat2(from_fd, from, to_fd, to, RENAME_NOREPLACE) == 0) {
    return 0;
  }
  const int saved_errno = errno;
  if (saved_errno == ENOSYS) {
    errno = ENOTSUP;
    return -1;
  }
  if (saved_errno == EINVAL) {
    // renameat2 answers EINVAL both when the file system has no no-replace
    // rename and when a directory would move beneath itself. Only the second
    // needs a directory source; for anything else the flag is the cause.
    struct stat status;
    if (fstatat(from_fd, from, &status, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(status.st_mode)) {
      errno = ENOTSUP;
      return -1;
    }
  }
  errno = saved_errno;
  return -1;
}
