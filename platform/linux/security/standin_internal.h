// Internal records of the keychain stand-in, shared by its source units.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform_security.h"

// Every CoreFoundation object of the stand-in starts with this record. The
// public header only names the derived types, so callers cannot look inside.
struct StandinCFObject {
  explicit StandinCFObject(CFTypeID type_id, bool is_constant);
  // A constant, made as constant data: it runs no code and allocates
  // nothing during static initialisation, so that a program under a tight
  // memory limit does not abort before main.
  constexpr explicit StandinCFObject(CFTypeID type_id)
      : type(type_id), constant(true), references(1) {}
  virtual ~StandinCFObject();
  StandinCFObject(const StandinCFObject&) = delete;
  StandinCFObject& operator=(const StandinCFObject&) = delete;

  CFTypeID type;
  // Constants are never counted and never freed.
  bool constant;
  std::atomic<long> references;
};

struct StandinCFString : StandinCFObject {
  // A string that owns its bytes (length of them at storage).
  StandinCFString(std::unique_ptr<char[]> storage, size_t length);
  // A constant over text of static storage duration (the kSec... keys).
  constexpr explicit StandinCFString(std::string_view constant_text)
      : StandinCFObject(kConstantStringType), owned(), bytes(constant_text) {}
  std::unique_ptr<char[]> owned;
  std::string_view bytes;  // UTF-8: the owned bytes or the constant text
  // standin::kStringType, which is declared below.
  static constexpr CFTypeID kConstantStringType = 7;
};

struct StandinCFNumber : StandinCFObject {
  explicit StandinCFNumber(int64_t number);
  int64_t value;
};

// Only the two constants kCFBooleanTrue and kCFBooleanFalse exist.
struct StandinCFBoolean : StandinCFObject {
  constexpr explicit StandinCFBoolean(bool flag)
      : StandinCFObject(kConstantBooleanType), value(flag) {}
  bool value;
  // standin::kBooleanType, which is declared below.
  static constexpr CFTypeID kConstantBooleanType = 21;
};

struct StandinCFArray : StandinCFObject {
  StandinCFArray();
  ~StandinCFArray() override;
  std::vector<const void*> values;
  CFArrayCallBacks callbacks;
};

struct StandinCFDictionary : StandinCFObject {
  StandinCFDictionary();
  ~StandinCFDictionary() override;
  std::vector<std::pair<const void*, const void*>> pairs;
  CFDictionaryKeyCallBacks key_callbacks;
  CFDictionaryValueCallBacks value_callbacks;
};

struct StandinSecKeychain : StandinCFObject {
  explicit StandinSecKeychain(std::string absolute_path);
  std::string path;
};

struct StandinSecKeychainItem : StandinCFObject {
  StandinSecKeychainItem(std::string keychain, std::string service_name, std::string account_name);
  std::string keychain_path;
  std::string service;
  std::string account;
};

namespace standin {

enum TypeId : CFTypeID {
  kStringType = StandinCFString::kConstantStringType,
  kDictionaryType = 18,
  kArrayType = 19,
  kBooleanType = StandinCFBoolean::kConstantBooleanType,
  kNumberType = 22,
  kKeychainType = 101,
  kKeychainItemType = 102,
};

// Crashes the process with a message, as CoreFoundation does when handed a
// null or wrong object: a caller bug must not pass silently.
[[noreturn]] void Crash(const char* message);

const StandinCFObject* AsObject(CFTypeRef object);
bool IsType(CFTypeRef object, CFTypeID type);

// The object's record when the object is non-null and of the given type,
// else NULL.
template <typename Record>
const Record* AsRecord(CFTypeRef object, CFTypeID type) {
  return IsType(object, type) ? static_cast<const Record*>(AsObject(object)) : nullptr;
}

// Runs body, which returns an OSStatus, and turns a C++ exception into a
// status. Every C entry point runs its work through this: an exception
// that escaped into a C caller would end the process by std::terminate,
// so that lockscout, say, printed no line at all under a memory limit.
template <typename Body>
OSStatus Guarded(Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return errSecAllocate;
  } catch (const std::length_error&) {
    return errSecAllocate;
  } catch (...) {
    return errSecInternalComponent;
  }
}

// ---- keychain storage (keychain_store.cc) ----

// Hands out memory as std::allocator does and overwrites it before giving
// it back. A stored secret lives only in memory of this allocator, so no
// copy outlives its container or a regrowth: the tests that search
// keyfetch's memory at exit for the key then see keyfetch's own copies
// only. (What the real framework leaves in a caller's memory is not known
// here and not modelled.)
template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(size_t count) { return std::allocator<T>().allocate(count); }
  void deallocate(T* memory, size_t count) noexcept {
    volatile unsigned char* bytes = reinterpret_cast<volatile unsigned char*>(memory);
    for (size_t i = 0; i < count * sizeof(T); ++i) {
      bytes[i] = 0;
    }
    std::allocator<T>().deallocate(memory, count);
  }
  template <typename U>
  bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
  template <typename U>
  bool operator!=(const WipingAllocator<U>&) const noexcept { return false; }
};

// The bytes of a secret. A vector, not a string: a short string keeps its
// bytes inside the object itself, where a move or a destruction leaves
// them behind.
using SecretBytes = std::vector<char, WipingAllocator<char>>;

struct StoredItem {
  std::string service;
  std::string account;
  SecretBytes data;
};

struct StoredKeychain {
  std::string password;
  std::vector<StoredItem> items;
};

// $HOME/Library/Keychains; false when HOME is unset, empty or relative.
bool KeychainDirectory(std::string* directory);
// Absolute names are taken as they are, relative ones resolve under the
// keychain directory. False for an empty name, a name with a newline, or a
// relative name without a usable HOME.
bool ResolveKeychainPath(const std::string& name, std::string* path);

// Holds the exclusive lock of the keychain directory for its lifetime; every
// change to a keychain or to the user's lists happens under it, which is
// what makes an add of the same item by two processes give one item.
class DirectoryLock {
 public:
  DirectoryLock();
  ~DirectoryLock();
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  OSStatus status() const { return status_; }

 private:
  int fd_ = -1;
  OSStatus status_ = errSecSuccess;
};

// Status word of the keychain at path; errSecNoSuchKeychain when no file.
OSStatus KeychainStatusWord(const std::string& path, SecKeychainStatus* status);
OSStatus ReadKeychainFile(const std::string& path, StoredKeychain* keychain);
// The writers below run only under the DirectoryLock: they take any
// temporary of their file that they find for one a crash left behind.
//
// Replaces the file atomically, keeping its permission bits; a keychain
// that is a symbolic link stays one, and the file it points to is replaced.
OSStatus RewriteKeychainFile(const std::string& path, const StoredKeychain& keychain);
// Creates a new file; errSecDuplicateKeychain when the path exists.
OSStatus CreateKeychainFile(const std::string& path, const StoredKeychain& keychain);

// The user's lists beside the keychains: names are "search-list",
// "default-keychain" and "unlocked". A missing list is empty; relative
// entries resolve under the keychain directory. Keychain and list files
// past 16 MiB are not read (errSecDataTooLarge).
OSStatus ReadPathList(const char* name, std::vector<std::string>* paths);
OSStatus WritePathList(const char* name, const std::vector<std::string>& paths);

}  // namespace standin
