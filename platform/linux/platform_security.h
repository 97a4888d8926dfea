// Stand-in for the parts of the Security framework and CoreFoundation that
// the keychain programs use. Product code includes this header (or its
// macOS namesake, which includes the real framework headers) and nothing
// else of the keychain.
//
// CoreFoundation objects here are reference counted: every Create or Copy
// hands the caller one reference, which CFRelease gives back. Constants
// (kCFBooleanTrue, the kSec... keys and values) are never freed.
//
// Keychains: each keychain is one file. Relative keychain names resolve
// under $HOME/Library/Keychains, where the user's search list, default
// keychain and the set of unlocked keychains are kept as well. The status
// word of a keychain takes its unlocked bit from that set and its readable
// and writable bits from the owner bits of the file's mode.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- CoreFoundation basics ----

typedef unsigned char Boolean;
typedef uint8_t UInt8;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef int32_t OSStatus;
typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef UInt32 CFStringEncoding;
typedef CFIndex CFNumberType;

typedef const void* CFTypeRef;
typedef const struct StandinCFAllocator* CFAllocatorRef;
typedef const struct StandinCFArray* CFArrayRef;
typedef const struct StandinCFDictionary* CFDictionaryRef;
typedef const struct StandinCFString* CFStringRef;
typedef const struct StandinCFNumber* CFNumberRef;
typedef const struct StandinCFBoolean* CFBooleanRef;

#define kCFAllocatorDefault ((CFAllocatorRef)0)
#define kCFStringEncodingUTF8 ((CFStringEncoding)0x08000100)
#define kCFNumberSInt32Type ((CFNumberType)3)
#define kCFNumberSInt64Type ((CFNumberType)4)
#define kCFNumberIntType ((CFNumberType)9)
#define kCFNumberLongType ((CFNumberType)10)

typedef const void* (*CFRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFEqualCallBack)(const void* value1, const void* value2);
typedef unsigned long (*CFHashCallBack)(const void* value);

typedef struct {
  CFIndex version;
  CFRetainCallBack retain;
  CFReleaseCallBack release;
  CFCopyDescriptionCallBack copyDescription;
  CFEqualCallBack equal;
} CFArrayCallBacks;

typedef struct {
  CFIndex version;
  CFRetainCallBack retain;
  CFReleaseCallBack release;
  CFCopyDescriptionCallBack copyDescription;
  CFEqualCallBack equal;
  CFHashCallBack hash;
} CFDictionaryKeyCallBacks;

typedef struct {
  CFIndex version;
  CFRetainCallBack retain;
  CFReleaseCallBack release;
  CFCopyDescriptionCallBack copyDescription;
  CFEqualCallBack equal;
} CFDictionaryValueCallBacks;

// Callbacks that retain on insertion, release on removal and compare with
// CFEqual; with NULL callbacks a container neither retains nor releases.
extern const CFArrayCallBacks kCFTypeArrayCallBacks;
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;

extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;

CFTypeRef CFRetain(CFTypeRef object);
void CFRelease(CFTypeRef object);
CFIndex CFGetRetainCount(CFTypeRef object);
CFTypeID CFGetTypeID(CFTypeRef object);
// By value for strings, numbers, arrays, dictionaries, keychains (same
// path) and keychain items (same keychain, service and account).
Boolean CFEqual(CFTypeRef object1, CFTypeRef object2);

CFTypeID CFArrayGetTypeID(void);
CFArrayRef CFArrayCreate(CFAllocatorRef allocator, const void** values, CFIndex count,
                         const CFArrayCallBacks* callBacks);
CFIndex CFArrayGetCount(CFArrayRef array);
const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index);

CFTypeID CFDictionaryGetTypeID(void);
CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void** keys,
                                   const void** values, CFIndex count,
                                   const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks);
CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary);
Boolean CFDictionaryContainsKey(CFDictionaryRef dictionary, const void* key);
const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key);

CFTypeID CFStringGetTypeID(void);
// NULL when the bytes are not valid UTF-8 or the encoding is not UTF-8.
CFStringRef CFStringCreateWithCString(CFAllocatorRef allocator, const char* cString,
                                      CFStringEncoding encoding);
CFStringRef CFStringCreateWithBytes(CFAllocatorRef allocator, const UInt8* bytes,
                                    CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean isExternalRepresentation);
// Length in bytes of the UTF-8 form (the stand-in keeps strings as UTF-8).
CFIndex CFStringGetLength(CFStringRef string);
Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding);

CFTypeID CFNumberGetTypeID(void);
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void* valuePtr);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);

CFTypeID CFBooleanGetTypeID(void);
Boolean CFBooleanGetValue(CFBooleanRef boolean);

// ---- Security framework ----

typedef struct StandinSecKeychain* SecKeychainRef;
typedef struct StandinSecKeychainItem* SecKeychainItemRef;
typedef struct StandinSecAccess* SecAccessRef;
typedef UInt32 SecKeychainStatus;
typedef struct SecKeychainAttributeList SecKeychainAttributeList;

enum {
  errSecSuccess = 0,
  errSecUnimplemented = -4,
  errSecParam = -50,
  errSecAllocate = -108,
  errSecUserCanceled = -128,
  errSecWrPerm = -61,
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
  errSecIO = -36,
  errSecInternalComponent = -2070,
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
extern const CFStringRef kSecMatchLimitOne;
extern const CFStringRef kSecMatchLimitAll;
extern const CFStringRef kSecReturnAttributes;
extern const CFStringRef kSecReturnData;
extern const CFStringRef kSecReturnRef;
extern const CFStringRef kSecReturnPersistentRef;
extern const CFStringRef kSecUseAuthenticationUI;
extern const CFStringRef kSecUseAuthenticationUIFail;
extern const CFStringRef kSecUseAuthenticationUIAllow;
extern const CFStringRef kSecUseDataProtectionKeychain;
extern const CFStringRef kSecValueData;
extern const CFStringRef kSecValueRef;

CFTypeID SecKeychainGetTypeID(void);
CFTypeID SecKeychainItemGetTypeID(void);

// The process-wide user-interaction switch (initially allowed). The
// stand-in never prompts: an operation that would need the user fails with
// errSecInteractionNotAllowed whatever the switch says.
OSStatus SecKeychainGetUserInteractionAllowed(Boolean* state);
OSStatus SecKeychainSetUserInteractionAllowed(Boolean state);

// The user's search list, a new array of keychains; caller releases.
OSStatus SecKeychainCopySearchList(CFArrayRef* searchList);
OSStatus SecKeychainSetSearchList(CFArrayRef searchList);
OSStatus SecKeychainCopyDefault(SecKeychainRef* keychain);
OSStatus SecKeychainSetDefault(SecKeychainRef keychain);

// Opens a reference to a keychain by path (relative names resolve under
// $HOME/Library/Keychains); the file need not exist. Caller releases.
OSStatus SecKeychainOpen(const char* pathName, SecKeychainRef* keychain);
// Creates the keychain file (it must not exist), unlocked, adds it to the
// search list and makes it the default keychain when there is none.
OSStatus SecKeychainCreate(const char* pathName, UInt32 passwordLength, const void* password,
                           Boolean promptUser, SecAccessRef initialAccess,
                           SecKeychainRef* keychain);
OSStatus SecKeychainLock(SecKeychainRef keychain);
OSStatus SecKeychainUnlock(SecKeychainRef keychain, UInt32 passwordLength, const void* password,
                           Boolean usePassword);
OSStatus SecKeychainGetStatus(SecKeychainRef keychain, SecKeychainStatus* status);
// Copies the path and a terminating NUL; *ioPathLength is the buffer size
// in and the path's length (without NUL) out. errSecBufferTooSmall when the
// path and its NUL do not fit.
OSStatus SecKeychainGetPath(SecKeychainRef keychain, UInt32* ioPathLength, char* pathName);

// Metadata query over generic passwords: kSecClass, kSecAttrService,
// kSecAttrAccount, kSecMatchSearchList, kSecMatchLimit, kSecReturnAttributes,
// kSecReturnRef. Items of locked or unreadable keychains are not seen; a
// keychain file that cannot be read as one fails the query.
// Returning data or a persistent reference is not supported
// (errSecUnimplemented).
OSStatus SecItemCopyMatching(CFDictionaryRef query, CFTypeRef* result);
OSStatus SecKeychainItemCopyKeychain(SecKeychainItemRef item, SecKeychainRef* keychain);
OSStatus SecKeychainItemDelete(SecKeychainItemRef item);

// keychainOrArray: NULL for the user's search list, a keychain, or an array
// of keychains, searched in order. A locked keychain reached before the
// item is found fails the lookup with errSecInteractionNotAllowed. A NULL
// serviceName or accountName matches any, as on macOS. The data is
// released with SecKeychainItemFreeContent; itemRef may be NULL.
OSStatus SecKeychainFindGenericPassword(CFTypeRef keychainOrArray, UInt32 serviceNameLength,
                                        const char* serviceName, UInt32 accountNameLength,
                                        const char* accountName, UInt32* passwordLength,
                                        void** passwordData, SecKeychainItemRef* itemRef);
// keychain: NULL for the default keychain. Two processes adding the same
// service and account at once give one item and one errSecDuplicateItem.
OSStatus SecKeychainAddGenericPassword(SecKeychainRef keychain, UInt32 serviceNameLength,
                                       const char* serviceName, UInt32 accountNameLength,
                                       const char* accountName, UInt32 passwordLength,
                                       const void* passwordData, SecKeychainItemRef* itemRef);
OSStatus SecKeychainItemFreeContent(SecKeychainAttributeList* attrList, void* data);

#ifdef __cplusplus
}
#endif
