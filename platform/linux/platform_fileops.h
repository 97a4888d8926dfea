// Stand-in for the macOS file operations that Linux lacks or answers
// differently. Product code includes this header last, after the standard
// headers, because it redirects open and openat to the stand-ins below.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// macOS names the modification time st_mtimespec; Linux names it st_mtim.
#define st_mtimespec st_mtim

// The no-replace flag of renameatx_np, with macOS's value.
#define RENAME_EXCL 0x00000004

// macOS's barrier sync command, with macOS's value. Linux has no such
// command; darwin_fcntl answers it with fsync, which on Linux both orders
// and persists.
#define F_BARRIERFSYNC 85

#ifdef __cplusplus
extern "C" {
#endif

// renameatx_np(from_fd, from, to_fd, to, RENAME_EXCL) renames atomically and
// fails with EEXIST instead of replacing an existing destination. It never
// falls back to a replacing rename: where the file system cannot rename
// without replacing, it fails with ENOTSUP. flags 0 is a plain rename; any
// other flag fails with EINVAL.
int renameatx_np(int from_fd, const char* from, int to_fd, const char* to, unsigned int flags);

// open and openat with macOS's answer for a symbolic link opened with
// O_NOFOLLOW | O_DIRECTORY: ELOOP, where Linux answers ENOTDIR.
int darwin_open(const char* path, int flags, ...);
int darwin_openat(int dir_fd, const char* path, int flags, ...);

// fcntl with macOS's F_BARRIERFSYNC, done as one fsync; every other command
// goes to Linux's fcntl unchanged.
int darwin_fcntl(int fd, int command, ...);

#ifdef __cplusplus
}
#endif

#define open(...) darwin_open(__VA_ARGS__)
#define openat(...) darwin_openat(__VA_ARGS__)
#define fcntl(...) darwin_fcntl(__VA_ARGS__)
