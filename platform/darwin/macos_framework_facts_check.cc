// Compile-time check, against the SDK's own Security and CoreFoundation
// headers, of the keychain numbers and types the programs are written
// against. The cross-build compiles the programs against the declarations
// in platform/darwin_without_sdk and the Linux build against the keychain
// stand-in, both written down from documentation; a value that differs
// from the SDK's would make lockscout report the wrong state (a locked
// keychain read as unlocked) or keyfetch take an error for success, and a
// type of another width would hand the frameworks values they read
// differently. Built only where the SDK's frameworks are (a Mac); it
// produces no code.
#include <stdint.h>
#include <type_traits>

#include "platform_security.h"

// Result codes the programs branch on or report.
static_assert(errSecSuccess == 0, "errSecSuccess");
static_assert(errSecUnimplemented == -4, "errSecUnimplemented");
static_assert(errSecIO == -36, "errSecIO");
static_assert(errSecParam == -50, "errSecParam");
static_assert(errSecWrPerm == -61, "errSecWrPerm");
static_assert(errSecAllocate == -108, "errSecAllocate");
static_assert(errSecUserCanceled == -128, "errSecUserCanceled");
static_assert(errSecInternalComponent == -2070, "errSecInternalComponent");
static_assert(errSecAuthFailed == -25293, "errSecAuthFailed");
static_assert(errSecNoSuchKeychain == -25294, "errSecNoSuchKeychain");
static_assert(errSecDuplicateKeychain == -25296, "errSecDuplicateKeychain");
static_assert(errSecDuplicateItem == -25299, "errSecDuplicateItem");
static_assert(errSecItemNotFound == -25300, "errSecItemNotFound");
static_assert(errSecBufferTooSmall == -25301, "errSecBufferTooSmall");
static_assert(errSecDataTooLarge == -25302, "errSecDataTooLarge");
static_assert(errSecNoDefaultKeychain == -25307, "errSecNoDefaultKeychain");
static_assert(errSecInteractionNotAllowed == -25308, "errSecInteractionNotAllowed");
static_assert(errSecInteractionRequired == -25315, "errSecInteractionRequired");

// Keychain status bits (SecKeychainGetStatus).
static_assert(kSecUnlockStateStatus == 1, "kSecUnlockStateStatus");
static_assert(kSecReadPermStatus == 2, "kSecReadPermStatus");
static_assert(kSecWritePermStatus == 4, "kSecWritePermStatus");

// CoreFoundation values.
static_assert(kCFStringEncodingUTF8 == 0x08000100, "kCFStringEncodingUTF8");
static_assert(kCFNumberSInt32Type == 3, "kCFNumberSInt32Type");
static_assert(kCFNumberSInt64Type == 4, "kCFNumberSInt64Type");
static_assert(kCFNumberIntType == 9, "kCFNumberIntType");
static_assert(kCFNumberLongType == 10, "kCFNumberLongType");

// Types as the declarations without the SDK state them.
static_assert(std::is_same<Boolean, unsigned char>::value, "Boolean");
static_assert(std::is_same<OSStatus, int32_t>::value, "OSStatus");
static_assert(std::is_same<UInt32, uint32_t>::value, "UInt32");
static_assert(std::is_same<CFIndex, long>::value, "CFIndex");
static_assert(std::is_same<CFTypeID, unsigned long>::value, "CFTypeID");
static_assert(std::is_same<CFStringEncoding, uint32_t>::value, "CFStringEncoding");
static_assert(std::is_same<SecKeychainStatus, uint32_t>::value, "SecKeychainStatus");

// The constants the programs import are variables the frameworks export,
// and the link stubs list them as such; kCFAllocatorDefault among them,
// although it holds NULL.
static_assert(std::is_same<decltype(kCFAllocatorDefault), const CFAllocatorRef>::value,
              "kCFAllocatorDefault is an exported variable");
static_assert(std::is_same<decltype(kCFBooleanTrue), const CFBooleanRef>::value,
              "kCFBooleanTrue is an exported variable");
static_assert(std::is_same<decltype(kSecClass), const CFStringRef>::value,
              "kSecClass is an exported variable");
