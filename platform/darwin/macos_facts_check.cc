// Compile-time check of the macOS numbers the product is written against.
// The add-ons open files with these flags, turn these error numbers into the
// names scripts see, compare device numbers that scripts hand back, and size
// their reads of kernel records by them; a header that disagrees would make
// the product open with the wrong flags, misname an error or read a record
// from the wrong bytes. Built only for macOS; it produces no code.
#include <errno.h>
#include <stddef.h>
#include <sys/types.h>
#include <type_traits>

#include "platform_fileops.h"
#include "platform_procinfo.h"

// Anchored directory open, and the three file opens built from it.
static_assert((O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC) == 0x1100100, "directory open flags");
static_assert((O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK) == 0x1000104, "source open flags");
static_assert((O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC) == 0x1000b01,
              "receipt create flags");
static_assert((O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC) == 0x1000104, "receipt read flags");

static_assert(RENAME_EXCL == 4, "renameatx_np exclusive flag");

// Error numbers the add-ons map to names before a script sees them. The
// mapping is exercised on Linux, whose numbers differ; these are the ones
// it meets on a Mac. EOPNOTSUPP (flock on some network volumes) is a number
// of its own there, unlike on Linux, and needs its own case in the mapping.
static_assert(ENOTEMPTY == 66, "ENOTEMPTY");
static_assert(ELOOP == 62, "ELOOP");
static_assert(ESTALE == 70, "ESTALE");
static_assert(ENOTSUP == 45, "ENOTSUP");
static_assert(EOPNOTSUPP == 102, "EOPNOTSUPP");
static_assert(EOPNOTSUPP != ENOTSUP, "EOPNOTSUPP and ENOTSUP are distinct");
static_assert(ENOSYS == 78, "ENOSYS");

// Process records and names.
static_assert(PROC_PIDTBSDINFO == 3, "BSD info flavour");
static_assert(sizeof(struct proc_bsdinfo) == 136, "proc_bsdinfo size");
static_assert(PROC_PIDUNIQIDENTIFIERINFO == 17, "unique identifier flavour");
static_assert(sizeof(struct proc_uniqidentifierinfo) == 56, "proc_uniqidentifierinfo size");
static_assert(offsetof(struct proc_uniqidentifierinfo, p_uuid) == 0, "p_uuid offset");
static_assert(offsetof(struct proc_uniqidentifierinfo, p_uniqueid) == 16, "p_uniqueid offset");
static_assert(offsetof(struct proc_uniqidentifierinfo, p_puniqueid) == 24, "p_puniqueid offset");
static_assert(offsetof(struct proc_uniqidentifierinfo, p_idversion) == 32, "p_idversion offset");
static_assert(CTL_KERN == 1, "CTL_KERN");
static_assert(KERN_PROCARGS2 == 49, "KERN_PROCARGS2");
// The argument-area reader puts the pid into the int-sized third word of
// the sysctl name; a wider pid_t would be cut there.
static_assert(sizeof(pid_t) == 4 && sizeof(pid_t) == sizeof(int), "pid_t is 32 bits");

// Device numbers are compared as the signed 32-bit value stat reports.
static_assert(std::is_same<dev_t, int32_t>::value, "dev_t is a signed 32-bit integer");
static_assert(std::is_same<decltype(((struct stat*)nullptr)->st_dev), dev_t>::value, "st_dev is a dev_t");

// fcntl's sync commands: the barrier sync every removal step uses, and the
// full flush it deliberately does not.
static_assert(F_BARRIERFSYNC == 85, "F_BARRIERFSYNC");
static_assert(F_FULLFSYNC == 51, "F_FULLFSYNC");
