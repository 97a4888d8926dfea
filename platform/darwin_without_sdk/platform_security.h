// The keychain programs' platform header for a macOS build made where the
// SDK's Security and CoreFoundation are absent (the cross-build from
// Linux). It declares what the programs use of the two frameworks, and
// the result codes and constants the programs and the build's facts check
// name, in the frameworks' own forms, so that the objects import from them
// exactly what a build against the SDK imports; the link stubs beside it
// (Frameworks/*.framework/*.tbd) list those imports and let the programs
// link. Written from the frameworks' documentation: constant values and
// signatures as a Mac has them. On a Mac the build uses platform/darwin
// and the real frameworks instead.
//
// kCFAllocatorDefault is declared as the exported variable it is on macOS,
// not as the NULL it holds: a program compiled against a literal NULL
// would not import it, and the stubs would then miss a symbol that a Mac
// build of the same source needs.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- CoreFoundation ----

typedef unsigned char Boolean;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef SInt32 OSStatus;
typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef unsigned long CFHashCode;
typedef UInt32 CFStringEncoding;
typedef CFIndex CFNumberType;

typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFArray* CFArrayRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFNumber* CFNumberRef;
typedef const struct __CFBoolean* CFBooleanRef;

enum { kCFStringEncodingUTF8 = 0x08000100 };
enum {
  kCFNumberSInt32Type = 3,
  kCFNumberSInt64Type = 4,
  kCFNumberIntType = 9,
  kCFNumberLongType = 10,
};

typedef const void* (*CFDictionaryRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFDictionaryReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFDictionaryCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFDictionaryEqualCallBack)(const void* value1, const void* value2);
typedef CFHashCode (*CFDictionaryHashCallBack)(const void* value);
typedef struct {
  CFIndex version;
  CFDictionaryRetainCallBack retain;
  CFDictionaryReleaseCallBack release;
  CFDictionaryCopyDescriptionCallBack copyDescription;
  CFDictionaryEqualCallBack equal;
  CFDictionaryHashCallBack hash;
} CFDictionaryKeyCallBacks;
typedef struct {
  CFIndex version;
  CFDictionaryRetainCallBack retain;
  CFDictionaryReleaseCallBack release;
  CFDictionaryCopyDescriptionCallBack copyDescription;
  CFDictionaryEqualCallBack equal;
} CFDictionaryValueCallBacks;

extern const CFAllocatorRef kCFAllocatorDefault;
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;
extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;

void CFRelease(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);
Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);

CFTypeID CFArrayGetTypeID(void);
CFIndex CFArrayGetCount(CFArrayRef theArray);
const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);

CFTypeID CFDictionaryGetTypeID(void);
CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void** keys,
                                   const void** values, CFIndex numValues,
                                   const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks);
Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void* key);
const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);

CFTypeID CFStringGetTypeID(void);
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding);

CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void* valuePtr);

// ---- Security ----

typedef struct OpaqueSecKeychainRef* SecKeychainRef;
typedef struct OpaqueSecKeychainItemRef* SecKeychainItemRef;
typedef UInt32 SecKeychainStatus;
typedef struct SecKeychainAttributeList SecKeychainAttributeList;

enum {
  errSecSuccess = 0,
  errSecUnimplemented = -4,
  errSecIO = -36,
  errSecParam = -50,
  errSecWrPerm = -61,
  errSecAllocate = -108,
  errSecUserCanceled = -128,
  errSecInternalComponent = -2070,
  errSecAuthFailed = -25293,
  errSecNoSuchKeychain = -25294,
  errSecDuplicateKeychain = -25296,
  errSecDuplicateItem = -25299,
  errSecItemNotFound = -25300,
  errSecBufferTooSmall = -25301,
  errSecDataTooLarge = -25302,
  errSecNoDefaultKeychain = -25307,
  errSecInteractionNotAllowed = -25308,
  errSecInteractionRequired = -25315,
};

enum {
  kSecUnlockStateStatus = 1,
  kSecReadPermStatus = 2,
  kSecWritePermStatus = 4,
};

extern const CFStringRef kSecClass;
extern const CFStringRef kSecClassGenericPassword;
extern const CFStringRef kSecAttrService;
extern const CFStringRef kSecAttrAccount;
extern const CFStringRef kSecMatchSearchList;
extern const CFStringRef kSecMatchLimit;
extern const CFStringRef kSecReturnAttributes;
extern const CFStringRef kSecReturnData;
extern const CFStringRef kSecReturnRef;
extern const CFStringRef kSecReturnPersistentRef;
extern const CFStringRef kSecUseAuthenticationUI;
extern const CFStringRef kSecUseAuthenticationUIFail;
extern const CFStringRef kSecUseDataProtectionKeychain;
extern const CFStringRef kSecValueData;
extern const CFStringRef kSecValueRef;

CFTypeID SecKeychainItemGetTypeID(void);

OSStatus SecKeychainGetUserInteractionAllowed(Boolean* state);
OSStatus SecKeychainSetUserInteractionAllowed(Boolean state);
OSStatus SecKeychainCopySearchList(CFArrayRef* searchList);
OSStatus SecKeychainGetStatus(SecKeychainRef keychain, SecKeychainStatus* keychainStatus);
OSStatus SecKeychainGetPath(SecKeychainRef keychain, UInt32* ioPathLength, char* pathName);

OSStatus SecItemCopyMatching(CFDictionaryRef query, CFTypeRef* result);
OSStatus SecKeychainItemCopyKeychain(SecKeychainItemRef itemRef, SecKeychainRef* keychainRef);

OSStatus SecKeychainFindGenericPassword(CFTypeRef keychainOrArray, UInt32 serviceNameLength,
                                        const char* serviceName, UInt32 accountNameLength,
                                        const char* accountName, UInt32* passwordLength,
                                        void** passwordData, SecKeychainItemRef* itemRef);
OSStatus SecKeychainAddGenericPassword(SecKeychainRef keychain, UInt32 serviceNameLength,
                                       const char* serviceName, UInt32 accountNameLength,
                                       const char* accountName, UInt32 passwordLength,
                                       const void* passwordData, SecKeychainItemRef* itemRef);
OSStatus SecKeychainItemFreeContent(SecKeychainAttributeList* attrList, void* data);

#ifdef __cplusplus
}
#endif
