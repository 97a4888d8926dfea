// Hooks of the Linux keychain stand-in that exist for tests only. Product
// code never includes this header.
//
// SecKeychainItemFreeContent check: when the environment variable
// SECURITY_STANDIN_REQUIRE_ZEROED_FREE is "1" at the time of the call, a
// buffer handed back with any nonzero byte makes the process write
// "SecKeychainItemFreeContent: content released without being zeroed" to
// standard error and abort, so a program that forgets to wipe a secret
// dies by SIGABRT instead of passing.
//
// Add race seam: SECURITY_STANDIN_ADD_PAUSE_MS=N (1 to 10000) makes
// SecKeychainAddGenericPassword wait N milliseconds between its duplicate
// check and its write, so that concurrent adders are sure to overlap.
#pragma once

#include "platform_security.h"

#ifdef __cplusplus
extern "C" {
#endif

// Number of CoreFoundation objects (arrays, dictionaries, strings, numbers,
// keychains, keychain items) currently alive in this process. Constants are
// not counted. A function that releases everything it obtained leaves this
// number where it found it.
long SecurityStandinLiveObjectCount(void);

// Makes the n-th CoreFoundation create call from now (0 = the next one;
// arrays, dictionaries, strings, numbers) return NULL, once, as an
// allocation failure would. A negative n disarms it.
void SecurityStandinFailNthCreate(long n);

// A new keychain item reference for the given keychain path, service and
// account, without any keychain file behind it; NULL when it cannot be
// made. Caller releases.
SecKeychainItemRef SecurityStandinCreateItem(const char* keychainPath, const char* service,
                                             const char* account);

// The service and account of an item reference: pointers into the
// reference, valid while it lives, and their lengths in bytes (names may
// hold any byte). The security tool prints them, as macOS's tool prints an
// item's attributes.
void SecurityStandinItemNames(SecKeychainItemRef item, const char** service,
                              size_t* serviceLength, const char** account,
                              size_t* accountLength);

#ifdef __cplusplus
}
#endif
