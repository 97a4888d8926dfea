// Test-only LD_PRELOAD library: every malloc, calloc and realloc fails
// (ENOMEM) until the program's main is entered, as under an address-space
// limit that leaves nothing for the heap. A program whose static
// initialisation allocates aborts before main; one whose constants are
// constant data starts and answers. Never linked into a deliverable.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <string.h>

#define EXPORTED __attribute__((visibility("default")))

typedef int (*MainFn)(int, char**, char**);
typedef int (*StartFn)(MainFn, int, char**, void (*)(void), void (*)(void), void (*)(void), void*);

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* memory, size_t size);

static int in_main;
static MainFn real_main;

static int MainEntered(int argc, char** argv, char** envp) {
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

EXPORTED void* malloc(size_t size) {
  if (!in_main) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}

EXPORTED void* calloc(size_t count, size_t size) {
  if (!in_main) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_calloc(count, size);
}

EXPORTED void* realloc(void* memory, size_t size) {
  if (!in_main) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_realloc(memory, size);
}
