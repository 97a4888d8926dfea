// A scripted stand-in for the eight Security functions of the probe's
// table. Keychains and answers are made fresh on every call, so a probe that
// forgets to release one leaves the stand-in's live-object count raised.
// Each test binary includes the probe's source unit before this header.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "security_standin.h"

namespace fake {

struct Answer {
  OSStatus code;
  std::function<CFTypeRef()> make;  // may be empty: no result object
};

struct State {
  // The process-wide interaction switch as the fake keeps it.
  Boolean interaction = 1;
  std::deque<OSStatus> get_interaction_codes;  // one per call, 0 when empty
  std::deque<OSStatus> set_interaction_codes;
  bool set_takes_effect = true;

  // Search lists: each copy uses the front list, and pops it while more
  // than one remains.
  std::deque<std::vector<std::string>> lists;
  std::deque<OSStatus> copy_list_codes;
  bool copy_list_null = false;
  bool copy_list_not_array = false;

  std::map<std::string, SecKeychainStatus> words;  // default 7 (unlocked, readable, writable)
  std::map<std::string, OSStatus> status_codes;
  std::map<std::string, OSStatus> path_codes;
  std::map<std::string, std::string> reported_paths;

  std::deque<Answer> answers;  // front popped while more than one remains
  std::function<void()> during_query;

  OSStatus copy_keychain_code = 0;
  bool copy_keychain_null = false;

  // What the probe did.
  std::vector<std::string> calls;
  std::vector<std::string> queried_accounts;
  std::vector<std::string> query_shapes;
  std::vector<Boolean> interaction_during_keychain_calls;
  int status_calls = 0;
  int path_calls = 0;
};

inline State& S() {
  static State state;
  return state;
}

inline std::string PathOf(SecKeychainRef keychain) {
  char buffer[1024] = {0};
  UInt32 length = sizeof buffer;
  SecKeychainGetPath(keychain, &length, buffer);
  return std::string(buffer, length);
}

inline std::string StringValue(const void* value) {
  if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) {
    return "<none>";
  }
  char buffer[256] = {0};
  CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer, kCFStringEncodingUTF8);
  return buffer;
}

inline std::string BooleanValue(const void* value) {
  if (value == kCFBooleanTrue) return "true";
  if (value == kCFBooleanFalse) return "false";
  return "<other>";
}

inline CFArrayRef MakeList(const std::vector<std::string>& paths) {
  std::vector<CFTypeRef> keychains;
  for (const std::string& path : paths) {
    SecKeychainRef keychain = nullptr;
    SecKeychainOpen(path.c_str(), &keychain);
    keychains.push_back(keychain);
  }
  CFArrayRef list = CFArrayCreate(kCFAllocatorDefault, keychains.data(),
                                  static_cast<CFIndex>(keychains.size()), &kCFTypeArrayCallBacks);
  for (CFTypeRef keychain : keychains) CFRelease(keychain);
  return list;
}

// The next scripted code of a call, 0 once the script has run out.
inline OSStatus NextCode(std::deque<OSStatus>& codes) {
  if (codes.empty()) return 0;
  const OSStatus code = codes.front();
  codes.pop_front();
  return code;
}

inline void NoteKeychainCall(const char* name) {
  S().calls.push_back(name);
  S().interaction_during_keychain_calls.push_back(S().interaction);
}

inline OSStatus GetInteraction(Boolean* state) {
  S().calls.push_back("get-interaction");
  const OSStatus code = NextCode(S().get_interaction_codes);
  if (code == 0) *state = S().interaction;
  return code;
}

inline OSStatus SetInteraction(Boolean state) {
  S().calls.push_back(state ? "set-interaction:1" : "set-interaction:0");
  const OSStatus code = NextCode(S().set_interaction_codes);
  if (code == 0 && S().set_takes_effect) S().interaction = state;
  return code;
}

inline OSStatus CopySearchList(CFArrayRef* list) {
  NoteKeychainCall("copy-search-list");
  const OSStatus code = NextCode(S().copy_list_codes);
  if (code != 0) return code;
  if (S().copy_list_null) return 0;
  if (S().copy_list_not_array) {
    *list = reinterpret_cast<CFArrayRef>(
        CFStringCreateWithCString(kCFAllocatorDefault, "not a list", kCFStringEncodingUTF8));
    return 0;
  }
  *list = MakeList(S().lists.front());
  if (S().lists.size() > 1) S().lists.pop_front();
  return 0;
}

inline OSStatus GetStatus(SecKeychainRef keychain, SecKeychainStatus* status) {
  NoteKeychainCall("get-status");
  ++S().status_calls;
  const std::string path = PathOf(keychain);
  auto code = S().status_codes.find(path);
  if (code != S().status_codes.end() && code->second != 0) return code->second;
  auto word = S().words.find(path);
  *status = word == S().words.end() ? 7 : word->second;
  return 0;
}

inline OSStatus GetPath(SecKeychainRef keychain, UInt32* length, char* buffer) {
  NoteKeychainCall("get-path");
  ++S().path_calls;
  const std::string path = PathOf(keychain);
  auto code = S().path_codes.find(path);
  if (code != S().path_codes.end()) return code->second;
  auto reported = S().reported_paths.find(path);
  const std::string text = reported == S().reported_paths.end() ? path : reported->second;
  if (text.size() >= *length) return errSecBufferTooSmall;
  std::copy(text.begin(), text.end(), buffer);
  *length = static_cast<UInt32>(text.size());
  return 0;
}

// Records the query's eleven pairs in one line, in table order.
inline std::string DescribeQuery(CFDictionaryRef query) {
  int limit = -1;
  const void* number = CFDictionaryGetValue(query, kSecMatchLimit);
  if (number != nullptr && CFGetTypeID(number) == CFNumberGetTypeID()) {
    CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberIntType, &limit);
  }
  const void* list = CFDictionaryGetValue(query, kSecMatchSearchList);
  std::string paths;
  if (list != nullptr && CFGetTypeID(list) == CFArrayGetTypeID()) {
    for (CFIndex i = 0; i < CFArrayGetCount(static_cast<CFArrayRef>(list)); ++i) {
      paths += PathOf(static_cast<SecKeychainRef>(
                   const_cast<void*>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(list), i)))) +
               ";";
    }
  }
  const void* ui = CFDictionaryGetValue(query, kSecUseAuthenticationUI);
  return std::string("pairs=") + std::to_string(CFDictionaryGetCount(query)) +
         " class=" + (CFDictionaryGetValue(query, kSecClass) == nullptr
                          ? "<none>"
                          : (CFEqual(CFDictionaryGetValue(query, kSecClass), kSecClassGenericPassword)
                                 ? "genp" : "<other>")) +
         " service=" + StringValue(CFDictionaryGetValue(query, kSecAttrService)) +
         " account=" + StringValue(CFDictionaryGetValue(query, kSecAttrAccount)) +
         " list=" + paths + " limit=" + std::to_string(limit) +
         " attributes=" + BooleanValue(CFDictionaryGetValue(query, kSecReturnAttributes)) +
         " data=" + BooleanValue(CFDictionaryGetValue(query, kSecReturnData)) +
         " ref=" + BooleanValue(CFDictionaryGetValue(query, kSecReturnRef)) +
         " persistent=" + BooleanValue(CFDictionaryGetValue(query, kSecReturnPersistentRef)) +
         " ui=" + (ui != nullptr && CFEqual(ui, kSecUseAuthenticationUIFail) ? "fail" : "<other>") +
         " data-protection=" +
         BooleanValue(CFDictionaryGetValue(query, kSecUseDataProtectionKeychain));
}

inline OSStatus CopyMatching(CFDictionaryRef query, CFTypeRef* result) {
  NoteKeychainCall("copy-matching");
  S().queried_accounts.push_back(StringValue(CFDictionaryGetValue(query, kSecAttrAccount)));
  S().query_shapes.push_back(DescribeQuery(query));
  if (S().during_query) S().during_query();
  Answer answer = S().answers.empty() ? Answer{errSecItemNotFound, nullptr} : S().answers.front();
  if (S().answers.size() > 1) S().answers.pop_front();
  if (answer.make) *result = answer.make();
  return answer.code;
}

inline CFTypeID ItemTypeId() {
  return SecKeychainItemGetTypeID();
}

inline OSStatus CopyKeychain(SecKeychainItemRef item, SecKeychainRef* keychain) {
  NoteKeychainCall("copy-keychain");
  if (S().copy_keychain_code != 0) return S().copy_keychain_code;
  if (S().copy_keychain_null) return 0;
  return SecKeychainItemCopyKeychain(item, keychain);
}

inline credential_identity::SecurityApi Table() {
  return credential_identity::SecurityApi{GetInteraction, SetInteraction, CopySearchList,
                                          GetStatus,      GetPath,        CopyMatching,
                                          ItemTypeId,     CopyKeychain};
}

// ---- answers ----

struct Entry {
  std::string service = "Velkor Atlas Safe Storage";
  std::string account = "Velkor Atlas Key";
  std::string keychain = "/k/login.keychain";
  bool with_data = false;
  bool with_ref = true;
  bool ref_is_keychain = false;  // a reference of the wrong type
  bool service_as_number = false;
  bool without_account = false;
};

inline CFDictionaryRef MakeEntry(const Entry& entry) {
  std::vector<const void*> keys;
  std::vector<const void*> values;
  std::vector<CFTypeRef> owned;
  auto add = [&](const void* key, CFTypeRef value) {
    keys.push_back(key);
    values.push_back(value);
    owned.push_back(value);
  };
  const int number = 7;
  add(kSecAttrService,
      entry.service_as_number
          ? static_cast<CFTypeRef>(CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &number))
          : CFStringCreateWithCString(kCFAllocatorDefault, entry.service.c_str(),
                                      kCFStringEncodingUTF8));
  if (!entry.without_account) {
    add(kSecAttrAccount, CFStringCreateWithCString(kCFAllocatorDefault, entry.account.c_str(),
                                                   kCFStringEncodingUTF8));
  }
  if (entry.with_data) {
    add(kSecValueData,
        CFStringCreateWithCString(kCFAllocatorDefault, "secret", kCFStringEncodingUTF8));
  }
  if (entry.with_ref) {
    CFTypeRef reference = nullptr;
    if (entry.ref_is_keychain) {
      SecKeychainRef keychain = nullptr;
      SecKeychainOpen(entry.keychain.c_str(), &keychain);
      reference = keychain;
    } else {
      reference = SecurityStandinCreateItem(entry.keychain.c_str(), entry.service.c_str(),
                                            entry.account.c_str());
    }
    add(kSecValueRef, reference);
  }
  CFDictionaryRef dictionary =
      CFDictionaryCreate(kCFAllocatorDefault, keys.data(), values.data(),
                         static_cast<CFIndex>(keys.size()), &kCFTypeDictionaryKeyCallBacks,
                         &kCFTypeDictionaryValueCallBacks);
  for (CFTypeRef value : owned) CFRelease(value);
  return dictionary;
}

inline CFArrayRef MakeArray(const std::vector<CFTypeRef>& values) {
  std::vector<CFTypeRef> copy(values);
  CFArrayRef array = CFArrayCreate(kCFAllocatorDefault, copy.data(),
                                   static_cast<CFIndex>(copy.size()), &kCFTypeArrayCallBacks);
  for (CFTypeRef value : values) CFRelease(value);
  return array;
}

inline Answer Found(std::vector<Entry> entries) {
  return Answer{0, [entries]() -> CFTypeRef {
                  std::vector<CFTypeRef> values;
                  for (const Entry& entry : entries) values.push_back(MakeEntry(entry));
                  return MakeArray(values);
                }};
}

inline Answer Found(Entry entry) {
  return Found(std::vector<Entry>{entry});
}

inline Answer NotFound() {
  return Answer{errSecItemNotFound, nullptr};
}

inline void Reset() {
  S() = State();
  SecurityStandinFailNthCreate(-1);
}

}  // namespace fake
