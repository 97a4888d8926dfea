// lockscout: tells whether the application's keychain entry exists and
// could be read without any prompt, without ever asking for the secret.
// One argument, the identity; one JSON line on standard output; exit 0.
//
// The probe reaches the Security framework only through the SecurityApi
// table that main fills, so that tests can hand it scripted answers.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "credential_identity.h"
#include "program_start.h"
#include "platform_security.h"

namespace credential_identity {

// What every stage of the probe returns. A stage that lets the probe go
// on returns {"ready", "", "", 0}; anything else is final and is handed up
// unchanged.
struct ProbeResult {
  std::string status;
  std::string reason;
  std::string account;
  int32_t osStatus;
};

// The eight Security functions the probe uses, each with the framework's
// own signature and contract.
struct SecurityApi {
  OSStatus (*SecKeychainGetUserInteractionAllowed)(Boolean* state);
  OSStatus (*SecKeychainSetUserInteractionAllowed)(Boolean state);
  OSStatus (*SecKeychainCopySearchList)(CFArrayRef* searchList);
  OSStatus (*SecKeychainGetStatus)(SecKeychainRef keychain, SecKeychainStatus* status);
  OSStatus (*SecKeychainGetPath)(SecKeychainRef keychain, UInt32* ioPathLength, char* pathName);
  OSStatus (*SecItemCopyMatching)(CFDictionaryRef query, CFTypeRef* result);
  CFTypeID (*SecKeychainItemGetTypeID)();
  OSStatus (*SecKeychainItemCopyKeychain)(SecKeychainItemRef item, SecKeychainRef* keychain);
};

constexpr char kReady[] = "ready";
constexpr CFIndex kMaxSearchListEntries = 64;
constexpr UInt32 kPathBufferSize = 512;
// The one keychain taken not to hide accounts while locked.
constexpr char kSystemKeychainFile[] = "/Library/Keychains/System.keychain";

ProbeResult Ready() {
  return ProbeResult{kReady, "", "", 0};
}

bool IsReady(const ProbeResult& result) {
  return result.status == kReady;
}

// The codes with which the framework says an operation would need the
// user: interaction required, interaction not allowed, authentication
// failed, user cancelled.
bool NeedsUser(int32_t osStatus) {
  return osStatus == errSecInteractionRequired || osStatus == errSecInteractionNotAllowed ||
         osStatus == errSecAuthFailed || osStatus == errSecUserCanceled;
}

ProbeResult Failure(const char* reason, int32_t osStatus) {
  return ProbeResult{NeedsUser(osStatus) ? "access-blocked" : "error", reason, "", osStatus};
}

// A final result for a keychain state that keeps the answer from being
// given without the user; it carries no code of its own.
ProbeResult Blocked(const char* reason) {
  return ProbeResult{"access-blocked", reason, "", 0};
}

void ReleaseIfSet(CFTypeRef object) {
  if (object != nullptr) {
    CFRelease(object);
  }
}

SecKeychainRef KeychainAt(CFArrayRef searchList, CFIndex index) {
  return static_cast<SecKeychainRef>(const_cast<void*>(CFArrayGetValueAtIndex(searchList, index)));
}

bool IsArray(CFTypeRef object) {
  return object != nullptr && CFGetTypeID(object) == CFArrayGetTypeID();
}

// ---- search-list state ----

ProbeResult ReadSearchState(CFArrayRef searchList, const SecurityApi& api,
                            std::vector<unsigned int>& statuses) {
  const CFIndex count = CFArrayGetCount(searchList);
  if (count == 0) {
    return Failure("keychain-search-list-empty", 0);
  }
  if (count > kMaxSearchListEntries) {
    return Failure("keychain-search-list-too-large", 0);
  }
  for (CFIndex i = 0; i < count; ++i) {
    const SecKeychainRef keychain = KeychainAt(searchList, i);
    // A keychain listed twice would let one status word stand for two
    // positions; refuse the list instead of guessing.
    for (CFIndex j = 0; j < i; ++j) {
      if (CFEqual(keychain, KeychainAt(searchList, j))) {
        return Failure("invalid-keychain-search-list", 0);
      }
    }
    SecKeychainStatus status = 0;
    const OSStatus code = api.SecKeychainGetStatus(keychain, &status);
    if (code != 0) {
      return Failure("keychain-status-unavailable", code);
    }
    if ((status & kSecReadPermStatus) == 0) {
      return Blocked("keychain-unreadable");
    }
    statuses.push_back(status);
  }
  return Ready();
}

// Proves that the search list and every keychain's status word are what
// they were before the query: an answer taken while a keychain was being
// swapped, unlocked or locked says nothing reliable.
ProbeResult CheckStableSearch(CFArrayRef searchList, const std::vector<unsigned int>& statuses,
                              const SecurityApi& api) {
  CFArrayRef current = nullptr;
  const OSStatus code = api.SecKeychainCopySearchList(&current);
  ProbeResult result = Ready();
  std::vector<unsigned int> current_statuses;
  if (code != 0) {
    result = Failure("keychain-search-list-unavailable", code);
  } else if (!IsArray(current)) {
    result = Failure("invalid-keychain-search-list", 0);
  } else if (!CFEqual(current, searchList)) {
    result = Blocked("keychain-search-list-changed");
  } else {
    result = ReadSearchState(current, api, current_statuses);
    if (IsReady(result) && current_statuses != statuses) {
      result = Blocked("keychain-state-changed");
    }
  }
  ReleaseIfSet(current);
  return result;
}

bool HasLockedKeychain(const std::vector<unsigned int>& statuses) {
  for (unsigned int status : statuses) {
    if ((status & kSecUnlockStateStatus) == 0) {
      return true;
    }
  }
  return false;
}

// Whether a locked keychain may be holding the account out of sight. Only
// the System keychain is known not to; a path that cannot be read counts
// as one that may.
bool HidesAccountsWhenLocked(SecKeychainRef keychain, const SecurityApi& api) {
  char path[kPathBufferSize] = {0};
  UInt32 length = kPathBufferSize;
  if (api.SecKeychainGetPath(keychain, &length, path) != 0) {
    return true;
  }
  // The contract keeps length within the buffer; a table that breaks it is
  // not trusted to have named the System keychain.
  if (length > kPathBufferSize) {
    return true;
  }
  const size_t system_length = sizeof kSystemKeychainFile - 1;
  return !(length == system_length && std::memcmp(path, kSystemKeychainFile, system_length) == 0);
}

bool AnyLockedUserDatabase(CFArrayRef searchList, const std::vector<unsigned int>& statuses,
                           const SecurityApi& api) {
  for (CFIndex i = 0; i < CFArrayGetCount(searchList); ++i) {
    const size_t index = static_cast<size_t>(i);
    // A position without a status word cannot be shown to be unlocked.
    if (index < statuses.size() && (statuses[index] & kSecUnlockStateStatus) != 0) {
      continue;
    }
    if (HidesAccountsWhenLocked(KeychainAt(searchList, i), api)) {
      return true;
    }
  }
  return false;
}

// ---- the metadata query ----

CFDictionaryRef CreateQuery(CFStringRef service, CFStringRef account, CFArrayRef searchList,
                            CFNumberRef limit) {
  const void* keys[] = {
      kSecClass,          kSecAttrService,   kSecAttrAccount,         kSecMatchSearchList,
      kSecMatchLimit,     kSecReturnAttributes, kSecReturnData,       kSecReturnRef,
      kSecReturnPersistentRef, kSecUseAuthenticationUI, kSecUseDataProtectionKeychain,
  };
  const void* values[] = {
      kSecClassGenericPassword, service,         account,         searchList,
      limit,                    kCFBooleanTrue,  kCFBooleanFalse, kCFBooleanTrue,
      kCFBooleanFalse,          kSecUseAuthenticationUIFail, kCFBooleanFalse,
  };
  return CFDictionaryCreate(kCFAllocatorDefault, keys, values, sizeof keys / sizeof keys[0],
                            &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
}

bool IsStringEqualTo(const void* value, CFStringRef expected) {
  return value != nullptr && CFGetTypeID(value) == CFStringGetTypeID() && CFEqual(value, expected);
}

// The answer must be one dictionary with our service and account, no
// secret, and an item reference. On success *item is the entry's
// reference, owned by the answer.
ProbeResult ValidateAnswer(CFTypeRef answer, CFStringRef service, CFStringRef account,
                           const SecurityApi& api, CFTypeRef* item) {
  if (!IsArray(answer)) {
    return Failure("invalid-metadata-result", 0);
  }
  const CFArrayRef entries = static_cast<CFArrayRef>(answer);
  const CFIndex count = CFArrayGetCount(entries);
  if (count >= 2) {
    return Failure("ambiguous-account", 0);
  }
  if (count != 1) {
    return Failure("invalid-metadata-result", 0);
  }
  const void* entry = CFArrayGetValueAtIndex(entries, 0);
  if (entry == nullptr || CFGetTypeID(entry) != CFDictionaryGetTypeID()) {
    return Failure("invalid-metadata-result", 0);
  }
  const CFDictionaryRef attributes = static_cast<CFDictionaryRef>(entry);
  // The query asked for no data; an answer that carries it anyway is not
  // trusted, and the value is never looked at.
  if (CFDictionaryContainsKey(attributes, kSecValueData)) {
    return Failure("unexpected-secret-result", 0);
  }
  if (!IsStringEqualTo(CFDictionaryGetValue(attributes, kSecAttrService), service) ||
      !IsStringEqualTo(CFDictionaryGetValue(attributes, kSecAttrAccount), account)) {
    return Failure("invalid-metadata-result", 0);
  }
  const void* reference = CFDictionaryGetValue(attributes, kSecValueRef);
  if (reference == nullptr || CFGetTypeID(reference) != api.SecKeychainItemGetTypeID()) {
    return Failure("invalid-item-reference", 0);
  }
  *item = reference;
  return Ready();
}

// Position of the last entry of the list equal to keychain, or -1.
CFIndex SearchListPosition(CFArrayRef searchList, SecKeychainRef keychain) {
  CFIndex position = -1;
  for (CFIndex i = 0; i < CFArrayGetCount(searchList); ++i) {
    if (CFEqual(KeychainAt(searchList, i), keychain)) {
      position = i;
    }
  }
  return position;
}

// Where the item lies, whether a locked keychain may hide a competing item,
// and a last proof that nothing changed.
ProbeResult LocateItem(CFTypeRef item, const std::string& account, CFArrayRef searchList,
                       const std::vector<unsigned int>& statuses, const SecurityApi& api) {
  SecKeychainRef keychain = nullptr;
  const OSStatus code = api.SecKeychainItemCopyKeychain(
      static_cast<SecKeychainItemRef>(const_cast<void*>(item)), &keychain);
  ProbeResult result = Ready();
  if (code != 0 || keychain == nullptr) {
    result = Failure("item-keychain-unavailable", code);
  } else {
    const CFIndex position = SearchListPosition(searchList, keychain);
    const bool first_and_unlocked =
        position == 0 && !statuses.empty() && (statuses[0] & kSecUnlockStateStatus) != 0;
    if (position < 0) {
      result = Failure("item-keychain-outside-search-list", 0);
    } else if (HasLockedKeychain(statuses) && !first_and_unlocked) {
      result = Blocked("keychain-search-incomplete");
    } else {
      result = CheckStableSearch(searchList, statuses, api);
      if (IsReady(result)) {
        result = ProbeResult{"exists", "account-metadata-found", account, 0};
      }
    }
  }
  ReleaseIfSet(keychain);
  return result;
}

// Runs the query once the three values exist; the caller owns them.
ProbeResult RunQuery(CFStringRef service_string, CFStringRef account_string, CFNumberRef limit,
                     const std::string& account, CFArrayRef searchList,
                     const std::vector<unsigned int>& statuses, const SecurityApi& api) {
  CFDictionaryRef query = CreateQuery(service_string, account_string, searchList, limit);
  if (query == nullptr) {
    return Failure("query-allocation-failed", 0);
  }
  CFTypeRef answer = nullptr;
  const OSStatus code = api.SecItemCopyMatching(query, &answer);
  // Stability first: if the list or a lock state moved during the query,
  // its answer (found or not) describes keychains that are no longer there.
  ProbeResult result = CheckStableSearch(searchList, statuses, api);
  if (!IsReady(result)) {
    // handed up unchanged
  } else if (code == errSecItemNotFound) {
    result = AnyLockedUserDatabase(searchList, statuses, api)
                 ? Blocked("keychain-locked")
                 : ProbeResult{"not-found", "account-not-found", "", errSecItemNotFound};
  } else if (code != 0) {
    result = Failure("metadata-query-failed", code);
  } else {
    CFTypeRef item = nullptr;
    result = ValidateAnswer(answer, service_string, account_string, api, &item);
    if (IsReady(result)) {
      result = LocateItem(item, account, searchList, statuses, api);
    }
  }
  ReleaseIfSet(answer);
  CFRelease(query);
  return result;
}

ProbeResult QueryAccount(const std::string& service, const std::string& account,
                         CFArrayRef searchList, const std::vector<unsigned int>& statuses,
                         const SecurityApi& api) {
  const int match_limit = 2;  // a second match is how an ambiguous account shows
  CFStringRef service_string =
      CFStringCreateWithCString(kCFAllocatorDefault, service.c_str(), kCFStringEncodingUTF8);
  CFStringRef account_string =
      CFStringCreateWithCString(kCFAllocatorDefault, account.c_str(), kCFStringEncodingUTF8);
  CFNumberRef limit = CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &match_limit);
  ProbeResult result = Failure("query-allocation-failed", 0);
  if (service_string != nullptr && account_string != nullptr && limit != nullptr) {
    result = RunQuery(service_string, account_string, limit, account, searchList, statuses, api);
  }
  ReleaseIfSet(limit);
  ReleaseIfSet(account_string);
  ReleaseIfSet(service_string);
  return result;
}

// ---- the user-interaction switch ----

// Owns the process-wide user-interaction setting for one probe: switches it
// off so that no keychain call can put a prompt in front of the user, and
// puts the previous value back.
struct InteractionGuard {
  const SecurityApi& api;
  Boolean previous;
  bool active;

  ProbeResult Disable() {
    const OSStatus read = api.SecKeychainGetUserInteractionAllowed(&previous);
    if (read != 0) {
      return Failure("interaction-state-unavailable", read);
    }
    // From here on the setting may have changed, whatever the next calls
    // answer, so it must be put back.
    active = true;
    const OSStatus set = api.SecKeychainSetUserInteractionAllowed(false);
    if (set != 0) {
      return Failure("interaction-disable-failed", set);
    }
    Boolean now = true;
    const OSStatus check = api.SecKeychainGetUserInteractionAllowed(&now);
    if (check != 0 || now != false) {
      return Failure("interaction-disable-unverified", check);
    }
    return Ready();
  }

  // Verified restore; true on success.
  bool Restore() {
    const OSStatus set = api.SecKeychainSetUserInteractionAllowed(previous);
    Boolean now = previous ? false : true;
    if (set != 0) {
      return false;
    }
    if (api.SecKeychainGetUserInteractionAllowed(&now) != 0) {
      return false;
    }
    if (now != previous) {
      return false;
    }
    active = false;
    return true;
  }

  // A restore that failed leaves the process with prompts possibly off for
  // good; one last unverified attempt is all that is left to do.
  ~InteractionGuard() {
    if (active) {
      api.SecKeychainSetUserInteractionAllowed(previous);
    }
  }
};

// ---- the probe ----

ProbeResult ProbeSearchList(const std::string& identity, CFArrayRef searchList,
                            const SecurityApi& api) {
  if (!IsArray(searchList)) {
    return Failure("invalid-keychain-search-list", 0);
  }
  std::vector<unsigned int> statuses;
  ProbeResult state = ReadSearchState(searchList, api, statuses);
  if (!IsReady(state)) {
    return state;
  }
  const std::string service = ServiceName(identity);
  state = QueryAccount(service, AccountName(identity), searchList, statuses, api);
  if (state.status == "not-found") {
    // Same list, same statuses: nothing is re-read between the two queries.
    state = QueryAccount(service, FallbackAccountName(identity), searchList, statuses, api);
  }
  return state;
}

ProbeResult ProbeIdentity(const std::string& identity, const SecurityApi& api) {
  if (!IsAllowedIdentity(identity)) {
    return Failure("invalid-identity", 0);
  }
  InteractionGuard guard{api, true, false};
  ProbeResult state = guard.Disable();
  if (IsReady(state)) {
    CFArrayRef searchList = nullptr;
    const OSStatus code = api.SecKeychainCopySearchList(&searchList);
    if (code != 0) {
      state = Failure("keychain-search-list-unavailable", code);
    } else {
      state = ProbeSearchList(identity, searchList, api);
    }
    ReleaseIfSet(searchList);
  }
  if (guard.active && !guard.Restore()) {
    return Failure("interaction-restore-failed", 0);
  }
  return state;
}

// ---- the report ----

std::string SerializeResult(const std::string& platform, const std::string& identity,
                            const ProbeResult& result) {
  std::string line = "{\"schemaVersion\":1,\"platform\":\"";
  line += platform;
  line += "\",\"identity\":\"";
  // Argument text that is not one of our identities never reaches the
  // output, so nothing in the line needs escaping.
  if (IsAllowedIdentity(identity)) {
    line += identity;
  }
  line += "\",\"status\":\"";
  line += result.status;
  line += "\",\"reason\":\"";
  line += result.reason;
  line += "\",\"osStatus\":";
  line += std::to_string(result.osStatus);
  if (result.status == "exists") {
    line += ",\"account\":\"";
    line += result.account;
    line += "\"";
  }
  line += "}";
  return line;
}

}  // namespace credential_identity

int main(int argc, char** argv) {
  // Descriptors 0 to 2 are filled before the keychain opens any file, and a
  // reader that went away or a file-size limit on the output ends the write,
  // not the program, which exits with status 0. If a standard descriptor
  // cannot be filled, the keychain is not touched at all.
  if (program_start::StartProgram() < 0) {
    return 0;
  }
  using namespace credential_identity;
  const std::string identity = argc == 2 ? std::string(argv[1]) : std::string();
  const std::string platform = "darwin";
  const SecurityApi api = {
      SecKeychainGetUserInteractionAllowed,
      SecKeychainSetUserInteractionAllowed,
      SecKeychainCopySearchList,
      SecKeychainGetStatus,
      SecKeychainGetPath,
      SecItemCopyMatching,
      SecKeychainItemGetTypeID,
      SecKeychainItemCopyKeychain,
  };
  const ProbeResult result = ProbeIdentity(identity, api);
  const std::string line = SerializeResult(platform, identity, result) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  return 0;
}
