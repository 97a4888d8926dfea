// Keychain functions of the stand-in: the interaction switch, the search
// list and default keychain, keychain status and path, lock and unlock,
// generic-password lookup, creation, deletion and the metadata query.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <cstring>

#include "security_standin.h"
#include "standin_internal.h"

namespace {

// The one process-wide user-interaction setting.
Boolean interaction_allowed = 1;

// Constant data, as CoreFoundation's own constants are: the object is
// filled in by the compiler and its text stays a literal, so nothing runs or
// is allocated for it before main. (With the length spelled out the view is
// a constant expression; found by strlen it is made at run time.)
#define STANDIN_CONSTANT(name, text)              \
  StandinCFString name##_object{std::string_view(text, sizeof(text) - 1)}; \
  }                                               \
  extern "C" const CFStringRef name = &name##_object; \
  namespace {

STANDIN_CONSTANT(kSecClass, "class")
STANDIN_CONSTANT(kSecClassGenericPassword, "genp")
STANDIN_CONSTANT(kSecAttrService, "svce")
STANDIN_CONSTANT(kSecAttrAccount, "acct")
STANDIN_CONSTANT(kSecMatchSearchList, "m_SearchList")
STANDIN_CONSTANT(kSecMatchLimit, "m_Limit")
STANDIN_CONSTANT(kSecMatchLimitOne, "m_LimitOne")
STANDIN_CONSTANT(kSecMatchLimitAll, "m_LimitAll")
STANDIN_CONSTANT(kSecReturnAttributes, "r_Attributes")
STANDIN_CONSTANT(kSecReturnData, "r_Data")
STANDIN_CONSTANT(kSecReturnRef, "r_Ref")
STANDIN_CONSTANT(kSecReturnPersistentRef, "r_PersistentRef")
STANDIN_CONSTANT(kSecUseAuthenticationUI, "u_AuthUI")
STANDIN_CONSTANT(kSecUseAuthenticationUIFail, "u_AuthUIF")
STANDIN_CONSTANT(kSecUseAuthenticationUIAllow, "u_AuthUIA")
STANDIN_CONSTANT(kSecUseDataProtectionKeychain, "u_DataProtection")
STANDIN_CONSTANT(kSecValueData, "v_Data")
STANDIN_CONSTANT(kSecValueRef, "v_Ref")

#undef STANDIN_CONSTANT

// Content handed out by SecKeychainFindGenericPassword carries this header
// in front of it, so that SecKeychainItemFreeContent can recognise its own
// buffers and knows their length.
struct ContentHeader {
  uint64_t magic;
  uint64_t length;
};
constexpr uint64_t kContentMagic = 0x6b6579636f6e7431ULL;

const StandinSecKeychain* AsKeychain(CFTypeRef keychain) {
  return standin::AsRecord<StandinSecKeychain>(keychain, standin::kKeychainType);
}

const StandinSecKeychainItem* AsItem(CFTypeRef item) {
  return standin::AsRecord<StandinSecKeychainItem>(item, standin::kKeychainItemType);
}

SecKeychainRef NewKeychain(const std::string& path) {
  return new StandinSecKeychain(path);
}

SecKeychainItemRef NewItem(const std::string& keychain, const standin::StoredItem& item) {
  return new StandinSecKeychainItem(keychain, item.service, item.account);
}

// The keychains to search: the user's list for NULL, else one keychain or
// an array of keychains.
OSStatus SearchPaths(CFTypeRef keychain_or_array, std::vector<std::string>* paths) {
  paths->clear();
  if (keychain_or_array == nullptr) {
    return standin::ReadPathList("search-list", paths);
  }
  if (const StandinSecKeychain* keychain = AsKeychain(keychain_or_array)) {
    paths->push_back(keychain->path);
    return errSecSuccess;
  }
  if (!standin::IsType(keychain_or_array, standin::kArrayType)) {
    return errSecParam;
  }
  const auto array = static_cast<CFArrayRef>(keychain_or_array);
  for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
    const StandinSecKeychain* keychain = AsKeychain(CFArrayGetValueAtIndex(array, i));
    if (keychain == nullptr) {
      return errSecParam;
    }
    paths->push_back(keychain->path);
  }
  return errSecSuccess;
}

// Reads a keychain whose status word allows the caller's operation: it must
// be readable (else errSecAuthFailed) and have the bits of needs, tested
// write permission first (errSecWrPerm), then the unlock state
// (errSecInteractionNotAllowed: the stand-in never prompts).
OSStatus ReadKeychain(const std::string& path, SecKeychainStatus needs,
                      standin::StoredKeychain* keychain) {
  SecKeychainStatus status = 0;
  const OSStatus status_code = standin::KeychainStatusWord(path, &status);
  if (status_code != errSecSuccess) {
    return status_code;
  }
  if ((needs & kSecWritePermStatus) != 0 && (status & kSecWritePermStatus) == 0) {
    return errSecWrPerm;
  }
  if ((status & kSecReadPermStatus) == 0) {
    return errSecAuthFailed;
  }
  if ((needs & kSecUnlockStateStatus) != 0 && (status & kSecUnlockStateStatus) == 0) {
    return errSecInteractionNotAllowed;
  }
  return standin::ReadKeychainFile(path, keychain);
}

// Reads a keychain for a search: readable and unlocked.
OSStatus OpenForSearch(const std::string& path, standin::StoredKeychain* keychain) {
  return ReadKeychain(path, kSecUnlockStateStatus, keychain);
}

// What a lookup asks for; a name that is not given matches any.
struct Match {
  std::string service;
  bool has_service = false;
  std::string account;
  bool has_account = false;
};

bool Matches(const standin::StoredItem& item, const Match& wanted) {
  return (!wanted.has_service || item.service == wanted.service) &&
         (!wanted.has_account || item.account == wanted.account);
}

const standin::StoredItem* FindMatch(const standin::StoredKeychain& keychain, const Match& wanted) {
  for (const standin::StoredItem& item : keychain.items) {
    if (Matches(item, wanted)) {
      return &item;
    }
  }
  return nullptr;
}

// Owns the references it holds and releases them when it goes out of
// scope, so that a thrown allocation failure between two creations does not
// leak the earlier ones.
struct OwnedObjects {
  OwnedObjects() = default;
  OwnedObjects(const OwnedObjects&) = delete;
  OwnedObjects& operator=(const OwnedObjects&) = delete;
  ~OwnedObjects() {
    for (CFTypeRef object : objects) {
      CFRelease(object);
    }
  }
  // Room for one more is made before the object is created, so that the
  // push that follows cannot throw with the new object in no one's hands.
  void Reserve() {
    if (objects.size() == objects.capacity()) {
      objects.reserve(objects.empty() ? 4 : objects.capacity() * 2);
    }
  }
  std::vector<CFTypeRef> objects;
};

void* NewContent(const standin::SecretBytes& data) {
  auto* header = static_cast<ContentHeader*>(malloc(sizeof(ContentHeader) + data.size()));
  if (header == nullptr) {
    return nullptr;
  }
  header->magic = kContentMagic;
  header->length = data.size();
  void* content = header + 1;
  if (!data.empty()) {
    memcpy(content, data.data(), data.size());
  }
  return content;
}

std::vector<std::string> Without(const std::vector<std::string>& paths, const std::string& path) {
  std::vector<std::string> kept;
  for (const std::string& entry : paths) {
    if (entry != path) {
      kept.push_back(entry);
    }
  }
  return kept;
}

// errSecNoDefaultKeychain when no default keychain has been set.
OSStatus DefaultKeychainPath(std::string* path) {
  std::vector<std::string> defaults;
  const OSStatus status = standin::ReadPathList("default-keychain", &defaults);
  if (status != errSecSuccess) {
    return status;
  }
  if (defaults.empty()) {
    return errSecNoDefaultKeychain;
  }
  *path = defaults.front();
  return errSecSuccess;
}

// Puts path at the end of the named list, or takes it out; never twice.
OSStatus SetListed(const char* list, const std::string& path, bool listed) {
  std::vector<std::string> paths;
  const OSStatus read_status = standin::ReadPathList(list, &paths);
  if (read_status != errSecSuccess) {
    return read_status;
  }
  paths = Without(paths, path);
  if (listed) {
    paths.push_back(path);
  }
  return standin::WritePathList(list, paths);
}

// Runs change with the keychain directory locked, so that no other process
// changes a keychain or a list between what change reads and what it
// writes; when the lock cannot be taken, that failure is returned instead.
template <typename Change>
OSStatus UnderDirectoryLock(Change change) {
  standin::DirectoryLock lock;
  if (lock.status() != errSecSuccess) {
    return lock.status();
  }
  return change();
}

// Test seam: SECURITY_STANDIN_ADD_PAUSE_MS holds an add between its
// duplicate check and its write, so that racing adders overlap for sure.
void PauseForRaceTests() {
  const char* pause = getenv("SECURITY_STANDIN_ADD_PAUSE_MS");
  const long milliseconds = pause == nullptr ? 0 : strtol(pause, nullptr, 10);
  if (milliseconds > 0 && milliseconds <= 10000) {
    struct timespec delay = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
  }
}

// ---- changes, each run under the directory lock ----

// A new keychain starts unlocked, joins the search list and becomes the
// default when there is none yet.
OSStatus CreateListedKeychain(const std::string& path, const standin::StoredKeychain& contents) {
  OSStatus status = standin::CreateKeychainFile(path, contents);
  if (status == errSecSuccess) status = SetListed("unlocked", path, true);
  if (status == errSecSuccess) status = SetListed("search-list", path, true);
  std::vector<std::string> defaults;
  if (status == errSecSuccess) status = standin::ReadPathList("default-keychain", &defaults);
  if (status == errSecSuccess && defaults.empty()) {
    status = standin::WritePathList("default-keychain", {path});
  }
  return status;
}

OSStatus UnlockWithPassword(const std::string& path, const std::string& password) {
  standin::StoredKeychain contents;
  const OSStatus status = ReadKeychain(path, 0, &contents);
  if (status != errSecSuccess) {
    return status;
  }
  if (contents.password != password) {
    return errSecAuthFailed;
  }
  return SetListed("unlocked", path, true);
}

OSStatus RemoveItem(const StandinSecKeychainItem& record) {
  standin::StoredKeychain contents;
  const OSStatus status = OpenForSearch(record.keychain_path, &contents);
  if (status != errSecSuccess) {
    return status;
  }
  const size_t before = contents.items.size();
  std::vector<standin::StoredItem> kept;
  for (standin::StoredItem& entry : contents.items) {
    if (entry.service != record.service || entry.account != record.account) {
      kept.push_back(std::move(entry));
    }
  }
  if (kept.size() == before) {
    return errSecItemNotFound;
  }
  contents.items = std::move(kept);
  return standin::RewriteKeychainFile(record.keychain_path, contents);
}

// The keychain an add goes to: the one given, else the default keychain.
OSStatus AddTarget(SecKeychainRef keychain, std::string* path) {
  if (keychain != nullptr) {
    *path = AsKeychain(keychain)->path;
    return errSecSuccess;
  }
  return DefaultKeychainPath(path);
}

// The whole check-then-write runs under the directory lock: two adders of
// the same item cannot both see it missing, so one of them gets
// errSecDuplicateItem instead of a second copy.
OSStatus AddItem(const std::string& path, const standin::StoredItem& item) {
  standin::StoredKeychain contents;
  OSStatus status = ReadKeychain(path, kSecWritePermStatus | kSecUnlockStateStatus, &contents);
  Match same;
  same.service = item.service;
  same.has_service = true;
  same.account = item.account;
  same.has_account = true;
  if (status == errSecSuccess && FindMatch(contents, same) != nullptr) {
    status = errSecDuplicateItem;
  }
  if (status != errSecSuccess) {
    return status;
  }
  PauseForRaceTests();
  contents.items.push_back(item);
  return standin::RewriteKeychainFile(path, contents);
}

// ---- SecItemCopyMatching ----

struct Query {
  Match wanted;
  CFTypeRef search_list = nullptr;
  long limit = 1;
  bool return_attributes = false;
  bool return_ref = false;
};

bool QueryFlag(CFDictionaryRef query, CFStringRef key, bool* flag) {
  const void* value = CFDictionaryGetValue(query, key);
  if (value == nullptr) {
    return true;
  }
  if (!standin::IsType(value, standin::kBooleanType)) {
    return false;
  }
  *flag = CFBooleanGetValue(static_cast<CFBooleanRef>(value));
  return true;
}

bool QueryString(CFDictionaryRef query, CFStringRef key, std::string* text, bool* present) {
  const void* value = CFDictionaryGetValue(query, key);
  if (value == nullptr) {
    return true;
  }
  const auto* string = standin::AsRecord<StandinCFString>(value, standin::kStringType);
  if (string == nullptr) {
    return false;
  }
  text->assign(string->bytes.data(), string->bytes.size());
  *present = true;
  return true;
}

bool QueryLimit(CFDictionaryRef query, long* limit) {
  const void* value = CFDictionaryGetValue(query, kSecMatchLimit);
  if (value == nullptr || CFEqual(value, kSecMatchLimitOne)) {
    *limit = 1;
    return true;
  }
  if (CFEqual(value, kSecMatchLimitAll)) {
    *limit = -1;
    return true;
  }
  if (!standin::IsType(value, standin::kNumberType)) {
    return false;
  }
  return CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberLongType, limit) && *limit > 0;
}

OSStatus ReadQuery(CFDictionaryRef dictionary, Query* query) {
  if (!standin::IsType(dictionary, standin::kDictionaryType)) {
    return errSecParam;
  }
  const void* item_class = CFDictionaryGetValue(dictionary, kSecClass);
  if (item_class == nullptr || !CFEqual(item_class, kSecClassGenericPassword)) {
    return errSecUnimplemented;
  }
  bool return_data = false;
  bool return_persistent = false;
  bool data_protection = false;
  Match& wanted = query->wanted;
  if (!QueryString(dictionary, kSecAttrService, &wanted.service, &wanted.has_service) ||
      !QueryString(dictionary, kSecAttrAccount, &wanted.account, &wanted.has_account) ||
      !QueryLimit(dictionary, &query->limit) ||
      !QueryFlag(dictionary, kSecReturnAttributes, &query->return_attributes) ||
      !QueryFlag(dictionary, kSecReturnRef, &query->return_ref) ||
      !QueryFlag(dictionary, kSecReturnData, &return_data) ||
      !QueryFlag(dictionary, kSecReturnPersistentRef, &return_persistent) ||
      !QueryFlag(dictionary, kSecUseDataProtectionKeychain, &data_protection)) {
    return errSecParam;
  }
  if (return_data || return_persistent || data_protection) {
    return errSecUnimplemented;
  }
  query->search_list = CFDictionaryGetValue(dictionary, kSecMatchSearchList);
  return errSecSuccess;
}

// Locked, unreadable or missing keychains are passed over by the metadata
// query: their items are invisible, never a reason to ask the user. A file
// that cannot be read as a keychain (corrupt, truncated, too large) is an
// error, as on macOS: passing it over would answer "no such item" for an
// item that may well be in it.
bool PassedOverInSearch(OSStatus status) {
  return status == errSecNoSuchKeychain || status == errSecAuthFailed ||
         status == errSecInteractionNotAllowed;
}

// One match in the shape the query asked for; NULL on allocation failure.
CFTypeRef MatchResult(const Query& query, const std::string& keychain,
                      const standin::StoredItem& item) {
  if (!query.return_attributes) {
    return NewItem(keychain, item);
  }
  // The reference first: NewItem may throw, the creates below do not.
  SecKeychainItemRef reference = query.return_ref ? NewItem(keychain, item) : nullptr;
  CFStringRef service = CFStringCreateWithBytes(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(item.service.data()),
      static_cast<CFIndex>(item.service.size()), kCFStringEncodingUTF8, false);
  CFStringRef account = CFStringCreateWithBytes(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(item.account.data()),
      static_cast<CFIndex>(item.account.size()), kCFStringEncodingUTF8, false);
  const void* keys[] = {kSecClass, kSecAttrService, kSecAttrAccount, kSecValueRef};
  const void* values[] = {kSecClassGenericPassword, service, account, reference};
  CFDictionaryRef result = nullptr;
  if (service != nullptr && account != nullptr) {
    result = CFDictionaryCreate(kCFAllocatorDefault, keys, values, reference ? 4 : 3,
                                &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  }
  if (reference != nullptr) CFRelease(reference);
  if (account != nullptr) CFRelease(account);
  if (service != nullptr) CFRelease(service);
  return result;
}

}  // namespace

extern "C" {

CFTypeID SecKeychainGetTypeID(void) {
  return standin::kKeychainType;
}

CFTypeID SecKeychainItemGetTypeID(void) {
  return standin::kKeychainItemType;
}

OSStatus SecKeychainGetUserInteractionAllowed(Boolean* state) {
  return standin::Guarded([&]() -> OSStatus {
    if (state == nullptr) {
      return errSecParam;
    }
    *state = interaction_allowed;
    return errSecSuccess;
  });
}

OSStatus SecKeychainSetUserInteractionAllowed(Boolean state) {
  return standin::Guarded([&]() -> OSStatus {
    interaction_allowed = state ? 1 : 0;
    return errSecSuccess;
  });
}

OSStatus SecKeychainCopySearchList(CFArrayRef* searchList) {
  return standin::Guarded([&]() -> OSStatus {
    if (searchList == nullptr) {
      return errSecParam;
    }
    std::vector<std::string> paths;
    const OSStatus status = standin::ReadPathList("search-list", &paths);
    if (status != errSecSuccess) {
      return status;
    }
    OwnedObjects keychains;
    for (const std::string& path : paths) {
      keychains.Reserve();
      keychains.objects.push_back(NewKeychain(path));
    }
    *searchList = CFArrayCreate(kCFAllocatorDefault, keychains.objects.data(),
                                static_cast<CFIndex>(keychains.objects.size()),
                                &kCFTypeArrayCallBacks);
    return *searchList == nullptr ? errSecAllocate : errSecSuccess;
  });
}

OSStatus SecKeychainSetSearchList(CFArrayRef searchList) {
  return standin::Guarded([&]() -> OSStatus {
    std::vector<std::string> paths;
    if (searchList == nullptr || !standin::IsType(searchList, standin::kArrayType)) {
      return errSecParam;
    }
    const OSStatus status = SearchPaths(searchList, &paths);
    if (status != errSecSuccess) {
      return status;
    }
    return UnderDirectoryLock([&] { return standin::WritePathList("search-list", paths); });
  });
}

OSStatus SecKeychainCopyDefault(SecKeychainRef* keychain) {
  return standin::Guarded([&]() -> OSStatus {
    if (keychain == nullptr) {
      return errSecParam;
    }
    std::string path;
    const OSStatus status = DefaultKeychainPath(&path);
    if (status != errSecSuccess) {
      return status;
    }
    *keychain = NewKeychain(path);
    return errSecSuccess;
  });
}

OSStatus SecKeychainSetDefault(SecKeychainRef keychain) {
  return standin::Guarded([&]() -> OSStatus {
    const StandinSecKeychain* record = AsKeychain(keychain);
    if (record == nullptr) {
      return errSecParam;
    }
    return UnderDirectoryLock(
        [&] { return standin::WritePathList("default-keychain", {record->path}); });
  });
}

OSStatus SecKeychainOpen(const char* pathName, SecKeychainRef* keychain) {
  return standin::Guarded([&]() -> OSStatus {
    std::string path;
    if (pathName == nullptr || keychain == nullptr ||
        !standin::ResolveKeychainPath(pathName, &path)) {
      return errSecParam;
    }
    *keychain = NewKeychain(path);
    return errSecSuccess;
  });
}

OSStatus SecKeychainCreate(const char* pathName, UInt32 passwordLength, const void* password,
                           Boolean promptUser, SecAccessRef, SecKeychainRef* keychain) {
  return standin::Guarded([&]() -> OSStatus {
    std::string path;
    if (pathName == nullptr || keychain == nullptr ||
        !standin::ResolveKeychainPath(pathName, &path) ||
        (passwordLength > 0 && password == nullptr)) {
      return errSecParam;
    }
    if (promptUser) {
      return errSecInteractionNotAllowed;
    }
    standin::StoredKeychain contents;
    contents.password.assign(static_cast<const char*>(password), passwordLength);
    const OSStatus status =
        UnderDirectoryLock([&] { return CreateListedKeychain(path, contents); });
    if (status != errSecSuccess) {
      return status;
    }
    *keychain = NewKeychain(path);
    return errSecSuccess;
  });
}

OSStatus SecKeychainLock(SecKeychainRef keychain) {
  return standin::Guarded([&]() -> OSStatus {
    const StandinSecKeychain* record = AsKeychain(keychain);
    if (record == nullptr) {
      return errSecParam;
    }
    return UnderDirectoryLock([&] {
      // Only a keychain that is there can be locked.
      SecKeychainStatus status = 0;
      const OSStatus status_code = standin::KeychainStatusWord(record->path, &status);
      return status_code != errSecSuccess ? status_code
                                          : SetListed("unlocked", record->path, false);
    });
  });
}

OSStatus SecKeychainUnlock(SecKeychainRef keychain, UInt32 passwordLength, const void* password,
                           Boolean usePassword) {
  return standin::Guarded([&]() -> OSStatus {
    const StandinSecKeychain* record = AsKeychain(keychain);
    if (record == nullptr || (usePassword && passwordLength > 0 && password == nullptr)) {
      return errSecParam;
    }
    if (!usePassword) {
      return errSecInteractionNotAllowed;  // would have to ask the user
    }
    const std::string given(static_cast<const char*>(password), passwordLength);
    return UnderDirectoryLock([&] { return UnlockWithPassword(record->path, given); });
  });
}

OSStatus SecKeychainGetStatus(SecKeychainRef keychain, SecKeychainStatus* status) {
  return standin::Guarded([&]() -> OSStatus {
    const StandinSecKeychain* record = AsKeychain(keychain);
    if (record == nullptr || status == nullptr) {
      return errSecParam;
    }
    return standin::KeychainStatusWord(record->path, status);
  });
}

OSStatus SecKeychainGetPath(SecKeychainRef keychain, UInt32* ioPathLength, char* pathName) {
  return standin::Guarded([&]() -> OSStatus {
    const StandinSecKeychain* record = AsKeychain(keychain);
    if (record == nullptr || ioPathLength == nullptr || pathName == nullptr) {
      return errSecParam;
    }
    if (record->path.size() + 1 > *ioPathLength) {
      return errSecBufferTooSmall;
    }
    memcpy(pathName, record->path.c_str(), record->path.size() + 1);
    *ioPathLength = static_cast<UInt32>(record->path.size());
    return errSecSuccess;
  });
}

OSStatus SecItemCopyMatching(CFDictionaryRef dictionary, CFTypeRef* result) {
  return standin::Guarded([&]() -> OSStatus {
    Query query;
    if (result == nullptr) {
      return errSecParam;
    }
    OSStatus status = ReadQuery(dictionary, &query);
    std::vector<std::string> paths;
    if (status == errSecSuccess) {
      status = SearchPaths(query.search_list, &paths);
    }
    if (status != errSecSuccess) {
      return status;
    }
    OwnedObjects matches;
    for (const std::string& path : paths) {
      standin::StoredKeychain contents;
      status = OpenForSearch(path, &contents);
      if (PassedOverInSearch(status)) {
        continue;
      }
      if (status != errSecSuccess) {
        return status;
      }
      for (const standin::StoredItem& item : contents.items) {
        if (!Matches(item, query.wanted) ||
            (query.limit > 0 && matches.objects.size() >= static_cast<size_t>(query.limit))) {
          continue;
        }
        matches.Reserve();
        CFTypeRef match = MatchResult(query, path, item);
        if (match == nullptr) {
          return errSecAllocate;
        }
        matches.objects.push_back(match);
      }
    }
    if (matches.objects.empty()) {
      return errSecItemNotFound;
    }
    if (query.limit == 1) {
      *result = CFRetain(matches.objects.front());
      return errSecSuccess;
    }
    *result = CFArrayCreate(kCFAllocatorDefault, matches.objects.data(),
                            static_cast<CFIndex>(matches.objects.size()), &kCFTypeArrayCallBacks);
    return *result == nullptr ? errSecAllocate : errSecSuccess;
  });
}

OSStatus SecKeychainItemCopyKeychain(SecKeychainItemRef item, SecKeychainRef* keychain) {
  return standin::Guarded([&]() -> OSStatus {
    const StandinSecKeychainItem* record = AsItem(item);
    if (record == nullptr || keychain == nullptr) {
      return errSecParam;
    }
    *keychain = NewKeychain(record->keychain_path);
    return errSecSuccess;
  });
}

OSStatus SecKeychainItemDelete(SecKeychainItemRef item) {
  return standin::Guarded([&]() -> OSStatus {
    const StandinSecKeychainItem* record = AsItem(item);
    if (record == nullptr) {
      return errSecParam;
    }
    return UnderDirectoryLock([&] { return RemoveItem(*record); });
  });
}

OSStatus SecKeychainFindGenericPassword(CFTypeRef keychainOrArray, UInt32 serviceNameLength,
                                        const char* serviceName, UInt32 accountNameLength,
                                        const char* accountName, UInt32* passwordLength,
                                        void** passwordData, SecKeychainItemRef* itemRef) {
  return standin::Guarded([&]() -> OSStatus {
    if ((serviceNameLength > 0 && serviceName == nullptr) ||
        (accountNameLength > 0 && accountName == nullptr) ||
        (passwordData != nullptr && passwordLength == nullptr)) {
      return errSecParam;
    }
    // A name not given (NULL) matches any, as on macOS; a given empty name
    // matches only the empty name.
    Match wanted;
    wanted.has_service = serviceName != nullptr;
    wanted.service.assign(serviceName == nullptr ? "" : serviceName, serviceNameLength);
    wanted.has_account = accountName != nullptr;
    wanted.account.assign(accountName == nullptr ? "" : accountName, accountNameLength);
    std::vector<std::string> paths;
    OSStatus status = SearchPaths(keychainOrArray, &paths);
    if (status != errSecSuccess) {
      return status;
    }
    for (const std::string& path : paths) {
      standin::StoredKeychain contents;
      status = OpenForSearch(path, &contents);
      if (status == errSecNoSuchKeychain) {
        continue;
      }
      if (status != errSecSuccess) {
        return status;
      }
      const standin::StoredItem* item = FindMatch(contents, wanted);
      if (item == nullptr) {
        continue;
      }
      // The reference first: making it may throw, and a copy of the secret
      // handed out before that would be lost to the caller unwiped.
      SecKeychainItemRef found = itemRef != nullptr ? NewItem(path, *item) : nullptr;
      if (passwordData != nullptr) {
        *passwordData = NewContent(item->data);
        if (*passwordData == nullptr) {
          if (found != nullptr) CFRelease(found);
          return errSecAllocate;
        }
        *passwordLength = static_cast<UInt32>(item->data.size());
      }
      if (itemRef != nullptr) {
        *itemRef = found;
      }
      return errSecSuccess;
    }
    return errSecItemNotFound;
  });
}

OSStatus SecKeychainAddGenericPassword(SecKeychainRef keychain, UInt32 serviceNameLength,
                                       const char* serviceName, UInt32 accountNameLength,
                                       const char* accountName, UInt32 passwordLength,
                                       const void* passwordData, SecKeychainItemRef* itemRef) {
  return standin::Guarded([&]() -> OSStatus {
    if ((serviceNameLength > 0 && serviceName == nullptr) ||
        (accountNameLength > 0 && accountName == nullptr) ||
        (passwordLength > 0 && passwordData == nullptr) ||
        (keychain != nullptr && AsKeychain(keychain) == nullptr)) {
      return errSecParam;
    }
    standin::StoredItem item;
    item.service.assign(serviceName == nullptr ? "" : serviceName, serviceNameLength);
    item.account.assign(accountName == nullptr ? "" : accountName, accountNameLength);
    const char* password = static_cast<const char*>(passwordData);
    item.data.assign(password, password + passwordLength);
    std::string path;
    const OSStatus status = UnderDirectoryLock([&] {
      const OSStatus target = AddTarget(keychain, &path);
      return target != errSecSuccess ? target : AddItem(path, item);
    });
    if (status == errSecSuccess && itemRef != nullptr) {
      *itemRef = NewItem(path, item);
    }
    return status;
  });
}

SecKeychainItemRef SecurityStandinCreateItem(const char* keychainPath, const char* service,
                                             const char* account) {
  try {
    return new StandinSecKeychainItem(keychainPath, service, account);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void SecurityStandinItemNames(SecKeychainItemRef item, const char** service,
                              size_t* serviceLength, const char** account,
                              size_t* accountLength) {
  const StandinSecKeychainItem* record = AsItem(item);
  if (record == nullptr) {
    standin::Crash("SecurityStandinItemNames called with a non-item");
  }
  *service = record->service.data();
  *serviceLength = record->service.size();
  *account = record->account.data();
  *accountLength = record->account.size();
}

OSStatus SecKeychainItemFreeContent(SecKeychainAttributeList* attrList, void* data) {
  return standin::Guarded([&]() -> OSStatus {
    if (attrList != nullptr) {
      return errSecUnimplemented;
    }
    if (data == nullptr) {
      return errSecSuccess;
    }
    ContentHeader* header = static_cast<ContentHeader*>(data) - 1;
    if (header->magic != kContentMagic) {
      standin::Crash("SecKeychainItemFreeContent of a buffer it did not hand out");
    }
    const char* check = getenv("SECURITY_STANDIN_REQUIRE_ZEROED_FREE");
    if (check != nullptr && strcmp(check, "1") == 0) {
      const unsigned char* bytes = static_cast<const unsigned char*>(data);
      for (uint64_t i = 0; i < header->length; ++i) {
        if (bytes[i] != 0) {
          fputs("SecKeychainItemFreeContent: content released without being zeroed\n", stderr);
          abort();
        }
      }
    }
    header->magic = 0;
    free(header);
    return errSecSuccess;
  });
}

}  // extern "C"
