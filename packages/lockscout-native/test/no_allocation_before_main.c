// Test-only LD_PRELOAD library that makes allocations fail (ENOMEM).
//
// By default every malloc, calloc and realloc fails until the program's
// main is entered, as under an address-space limit that leaves nothing for
// the heap. A program whose static initialisation allocates aborts before
// main; one whose constants are constant data starts and answers.
//
// With FAIL_ALLOCATION_IN_MAIN=N (N >= 1) allocations before main succeed
// and only the N-th allocation from main's entry on fails, once; the ones
// after it succeed again. With ALLOCATION_REPORT_FD=FD the number of
// allocations made from main on is written there in decimal as the program
// exits by exit or _exit, so that a sweep knows every point it has to fail.
// Never linked into a deliverable.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#define EXPORTED __attribute__((visibility("default")))

typedef int (*MainFn)(int, char**, char**);
typedef int (*StartFn)(MainFn, int, char**, void (*)(void), void (*)(void), void (*)(void), void*);

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* memory, size_t size);

static int in_main;
static MainFn real_main;
// 0: fail everything before main (the default); else the allocation, counted
// from main's entry, that fails.
static unsigned long fail_at;
static unsigned long made_in_main;
static int report_fd = -1;

static unsigned long NumberFromEnvironment(const char* name, unsigned long otherwise) {
  const char* text = getenv(name);
  if (text == NULL || *text == '\0') {
    return otherwise;
  }
  char* end = NULL;
  const unsigned long value = strtoul(text, &end, 10);
  return *end == '\0' ? value : otherwise;
}

// Writes the count with write(2) alone: stdio would allocate.
static void ReportCount(void) {
  if (report_fd < 0) {
    return;
  }
  char text[24];
  size_t at = sizeof text;
  text[--at] = '\n';
  unsigned long count = made_in_main;
  do {
    text[--at] = (char)('0' + count % 10);
    count /= 10;
  } while (count > 0 && at > 0);
  ssize_t ignored = write(report_fd, text + at, sizeof text - at);
  (void)ignored;
  report_fd = -1;
}

// A program that ends by _exit runs no exit handlers.
EXPORTED void _exit(int status) {
  ReportCount();
  syscall(SYS_exit_group, status);
  __builtin_unreachable();
}

static int MainEntered(int argc, char** argv, char** envp) {
  fail_at = NumberFromEnvironment("FAIL_ALLOCATION_IN_MAIN", 0);
  report_fd = (int)NumberFromEnvironment("ALLOCATION_REPORT_FD", (unsigned long)-1);
  if (report_fd >= 0) {
    atexit(ReportCount);  // before counting starts: the registration may allocate
  }
  in_main = 1;
  return real_main(argc, argv, envp);
}

// glibc's entry calls this with the program's main; main is wrapped so
// that allocations succeed from its first line on.
EXPORTED int __libc_start_main(MainFn main, int argc, char** argv, void (*init)(void),
                               void (*fini)(void), void (*rtld_fini)(void), void* stack_end) {
  // dlsym hands out an object pointer; ISO C has no cast from it to a
  // function pointer, so the bits are copied.
  void* found = dlsym(RTLD_NEXT, "__libc_start_main");
  StartFn start;
  memcpy(&start, &found, sizeof start);
  real_main = main;
  return start(MainEntered, argc, argv, init, fini, rtld_fini, stack_end);
}

// Whether this allocation is to fail. Before main, only in the default
// mode; from main on, only the chosen one.
static int Refused(void) {
  if (!in_main) {
    return getenv("FAIL_ALLOCATION_IN_MAIN") == NULL;
  }
  made_in_main += 1;
  return made_in_main == fail_at;
}

EXPORTED void* malloc(size_t size) {
  if (Refused()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}

EXPORTED void* calloc(size_t count, size_t size) {
  if (Refused()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_calloc(count, size);
}

EXPORTED void* realloc(void* memory, size_t size) {
  if (Refused()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_realloc(memory, size);
}
