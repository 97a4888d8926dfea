// Compile-time check of the macOS numbers the product is written against.
// The add-ons and programs pass these values across the Node-API boundary,
// compare them with what scripts hand in, and size their reads of kernel
// records by them; a header that disagrees would make the product open with
// the wrong flags, misreport an error or read a record from the wrong bytes.
// Built only for macOS; it produces no code.
#include <errno.h>
#include <type_traits>

#include "platform_fileops.h"
#include "platform_procinfo.h"

// Anchored directory open, and the three file opens built from it.
static_assert((O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC) == 0x1100100, "directory open flags");
static_assert((O_RDONLY | O_NOFOLLOW | O_CLOEXEC) == 0x1000100, "source open flags");
static_assert((O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC) == 0x1000b01,
              "receipt create flags");
static_assert((O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC) == 0x1000104, "receipt read flags");

static_assert(RENAME_EXCL == 4, "renameatx_np exclusive flag");

// Error numbers reported to scripts as they are.
static_assert(ENOTEMPTY == 66, "ENOTEMPTY");
static_assert(ELOOP == 62, "ELOOP");
static_assert(ESTALE == 70, "ESTALE");
static_assert(ENOTSUP == 45, "ENOTSUP");
static_assert(ENOSYS == 78, "ENOSYS");

// Process records and names.
static_assert(PROC_PIDTBSDINFO == 3, "BSD info flavour");
static_assert(sizeof(struct proc_bsdinfo) == 136, "proc_bsdinfo size");
static_assert(PROC_PIDUNIQIDENTIFIERINFO == 17, "unique identifier flavour");
static_assert(sizeof(struct proc_uniqidentifierinfo) == 56, "proc_uniqidentifierinfo size");
static_assert(offsetof(struct proc_uniqidentifierinfo, p_uniqueid) == 16, "p_uniqueid offset");
static_assert(offsetof(struct proc_uniqidentifierinfo, p_puniqueid) == 24, "p_puniqueid offset");
static_assert(CTL_KERN == 1, "CTL_KERN");
static_assert(KERN_PROCARGS2 == 49, "KERN_PROCARGS2");

// Device numbers are compared as the signed 32-bit value stat reports.
static_assert(std::is_same<dev_t, int32_t>::value, "dev_t is a signed 32-bit integer");
static_assert(std::is_same<decltype(((struct stat*)nullptr)->st_dev), dev_t>::value, "st_dev is a dev_t");

// fcntl's sync commands: the barrier sync every removal step uses, and the
// full flush it deliberately does not.
static_assert(F_BARRIERFSYNC == 85, "F_BARRIERFSYNC");
static_assert(F_FULLFSYNC == 51, "F_FULLFSYNC");
