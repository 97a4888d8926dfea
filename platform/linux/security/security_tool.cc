// The security command-line tool, for the keychain verbs that tests, the
// tour and users need on this platform. It speaks the macOS tool's syntax
// and exit codes, so that scripts written against it run unchanged on a
// Mac: 0 on success, 2 for a usage error, otherwise the low byte of the
// keychain status (44 for an item not found, 45 for a duplicate item), with
// one line on standard error.
#include <ctype.h>
#include <getopt.h>
#include <stdio.h>
#include <string.h>

#include <new>
#include <string>
#include <vector>

#include "security_standin.h"

namespace {

const char* Describe(OSStatus status) {
  switch (status) {
    case errSecItemNotFound: return "The specified item could not be found in the keychain.";
    case errSecDuplicateItem: return "The specified item already exists in the keychain.";
    case errSecNoSuchKeychain: return "The specified keychain could not be found.";
    case errSecDuplicateKeychain: return "A keychain with the same name already exists.";
    case errSecAuthFailed: return "The user name or passphrase you entered is not correct.";
    case errSecInteractionNotAllowed: return "User interaction is not allowed.";
    case errSecNoDefaultKeychain: return "A default keychain could not be found.";
    case errSecWrPerm: return "Write permissions error.";
    case errSecParam: return "One or more parameters passed to a function were not valid.";
    case errSecAllocate: return "Failed to allocate memory.";
    case errSecDataTooLarge: return "The keychain file is too large to be read.";
    default: return "The operation could not be completed.";
  }
}

// The exit status for a failed call. A status whose low byte is zero would
// read as success to the caller, so it is reported as 1 instead.
int Fail(const char* call, OSStatus status) {
  fprintf(stderr, "security: %s: %s (%d)\n", call, Describe(status), static_cast<int>(status));
  const int code = static_cast<int>(static_cast<uint32_t>(status) & 0xFF);
  return code == 0 ? 1 : code;
}

int Usage(const char* verb, const char* syntax) {
  fprintf(stderr, "security: %s: usage: %s %s\n", verb, verb, syntax);
  return 2;
}

bool IsPrintable(const std::string& bytes) {
  for (unsigned char byte : bytes) {
    if (byte < 0x20 || byte > 0x7E) {
      return false;
    }
  }
  return true;
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

bool FromHex(const char* text, std::string* bytes) {
  const size_t length = strlen(text);
  if (length % 2 != 0) {
    return false;
  }
  for (size_t i = 0; i < length; i += 2) {
    unsigned int value = 0;
    if (sscanf(text + i, "%2x", &value) != 1 || !isxdigit(static_cast<unsigned char>(text[i])) ||
        !isxdigit(static_cast<unsigned char>(text[i + 1]))) {
      return false;
    }
    bytes->push_back(static_cast<char>(value));
  }
  return true;
}

// Prints the keychain's path in quotes after prefix; nothing when the path
// cannot be had.
void PrintPath(const char* prefix, SecKeychainRef keychain) {
  char path[1024] = {0};
  UInt32 length = sizeof path;
  if (SecKeychainGetPath(keychain, &length, path) == errSecSuccess) {
    printf("%s\"%s\"\n", prefix, path);
  }
}

// Opens every named keychain; the caller releases them.
OSStatus OpenAll(char** names, int count, std::vector<CFTypeRef>* keychains) {
  for (int i = 0; i < count; ++i) {
    SecKeychainRef keychain = nullptr;
    const OSStatus status = SecKeychainOpen(names[i], &keychain);
    if (status != errSecSuccess) {
      return status;
    }
    keychains->push_back(keychain);
  }
  return errSecSuccess;
}

void ReleaseAll(const std::vector<CFTypeRef>& objects) {
  for (CFTypeRef object : objects) {
    CFRelease(object);
  }
}

// A new array holding the keychains; NULL when it cannot be made.
CFArrayRef KeychainArray(const std::vector<CFTypeRef>& keychains) {
  std::vector<CFTypeRef> values(keychains);
  return CFArrayCreate(kCFAllocatorDefault, values.data(), static_cast<CFIndex>(values.size()),
                       &kCFTypeArrayCallBacks);
}

// The options of the list verbs: "-d user", the only domain there is here,
// and -s, which sets instead of showing (with its argument when accepted
// says "s:"). False for any other option.
bool ReadListOptions(int argc, char** argv, const char* accepted, bool* set, const char** name) {
  int option;
  while ((option = getopt(argc, argv, accepted)) != -1) {
    if (option == 'd' && strcmp(optarg, "user") == 0) continue;
    if (option != 's') return false;
    *set = true;
    *name = optarg;
  }
  return true;
}

int CreateKeychain(int argc, char** argv) {
  const char* password = nullptr;
  int option;
  while ((option = getopt(argc, argv, "+p:")) != -1) {
    if (option != 'p') return Usage("create-keychain", "-p password keychain");
    password = optarg;
  }
  if (password == nullptr || optind != argc - 1) {
    return Usage("create-keychain", "-p password keychain");
  }
  SecKeychainRef keychain = nullptr;
  const OSStatus status = SecKeychainCreate(argv[optind], static_cast<UInt32>(strlen(password)),
                                            password, false, nullptr, &keychain);
  if (status != errSecSuccess) {
    return Fail("SecKeychainCreate", status);
  }
  CFRelease(keychain);
  return 0;
}

int ListKeychains(int argc, char** argv) {
  bool set = false;
  const char* unused = nullptr;
  if (!ReadListOptions(argc, argv, "+d:s", &set, &unused) || (!set && optind != argc)) {
    return Usage("list-keychains", "[-d user] [-s [keychain...]]");
  }
  if (set) {
    std::vector<CFTypeRef> keychains;
    OSStatus status = OpenAll(argv + optind, argc - optind, &keychains);
    CFArrayRef list = status == errSecSuccess ? KeychainArray(keychains) : nullptr;
    if (status == errSecSuccess) {
      status = list == nullptr ? errSecAllocate : SecKeychainSetSearchList(list);
    }
    if (list != nullptr) CFRelease(list);
    ReleaseAll(keychains);
    return status == errSecSuccess ? 0 : Fail("SecKeychainSetSearchList", status);
  }
  CFArrayRef list = nullptr;
  const OSStatus status = SecKeychainCopySearchList(&list);
  if (status != errSecSuccess) {
    return Fail("SecKeychainCopySearchList", status);
  }
  for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
    PrintPath("    ", static_cast<SecKeychainRef>(const_cast<void*>(CFArrayGetValueAtIndex(list, i))));
  }
  CFRelease(list);
  return 0;
}

int DefaultKeychain(int argc, char** argv) {
  bool set = false;
  const char* name = nullptr;
  if (!ReadListOptions(argc, argv, "+d:s:", &set, &name) || optind != argc) {
    return Usage("default-keychain", "[-d user] [-s keychain]");
  }
  SecKeychainRef keychain = nullptr;
  if (set) {
    OSStatus status = SecKeychainOpen(name, &keychain);
    if (status == errSecSuccess) {
      status = SecKeychainSetDefault(keychain);
      CFRelease(keychain);
    }
    return status == errSecSuccess ? 0 : Fail("SecKeychainSetDefault", status);
  }
  const OSStatus status = SecKeychainCopyDefault(&keychain);
  if (status != errSecSuccess) {
    return Fail("SecKeychainCopyDefault", status);
  }
  PrintPath("    ", keychain);
  CFRelease(keychain);
  return 0;
}

// The named keychain, or the default one when no name is given.
OSStatus NamedOrDefault(int argc, char** argv, SecKeychainRef* keychain) {
  if (optind == argc) {
    return SecKeychainCopyDefault(keychain);
  }
  return SecKeychainOpen(argv[optind], keychain);
}

int LockKeychain(int argc, char** argv) {
  optind = 1;
  if (getopt(argc, argv, "+") != -1 || argc - optind > 1) {
    return Usage("lock-keychain", "[keychain]");
  }
  SecKeychainRef keychain = nullptr;
  OSStatus status = NamedOrDefault(argc, argv, &keychain);
  if (status == errSecSuccess) {
    status = SecKeychainLock(keychain);
    CFRelease(keychain);
  }
  return status == errSecSuccess ? 0 : Fail("SecKeychainLock", status);
}

int UnlockKeychain(int argc, char** argv) {
  const char* password = nullptr;
  int option;
  while ((option = getopt(argc, argv, "+p:")) != -1) {
    if (option != 'p') return Usage("unlock-keychain", "-p password [keychain]");
    password = optarg;
  }
  if (password == nullptr || argc - optind > 1) {
    return Usage("unlock-keychain", "-p password [keychain]");
  }
  SecKeychainRef keychain = nullptr;
  OSStatus status = NamedOrDefault(argc, argv, &keychain);
  if (status == errSecSuccess) {
    status = SecKeychainUnlock(keychain, static_cast<UInt32>(strlen(password)), password, true);
    CFRelease(keychain);
  }
  return status == errSecSuccess ? 0 : Fail("SecKeychainUnlock", status);
}

// A service or account not given (-s or -a absent) matches any item, as in
// macOS's tool; given empty, it matches only the empty name.
struct ItemOptions {
  std::string service;
  bool has_service = false;
  std::string account;
  bool has_account = false;
  std::string password;
  bool has_password = false;
};

bool ReadItemOptions(int argc, char** argv, const char* accepted, ItemOptions* options) {
  int option;
  while ((option = getopt(argc, argv, accepted)) != -1) {
    switch (option) {
      case 's':
        options->service = optarg;
        options->has_service = true;
        break;
      case 'a':
        options->account = optarg;
        options->has_account = true;
        break;
      case 'w':
        if (options->has_password) return false;
        options->password = optarg;
        options->has_password = true;
        break;
      case 'X':
        if (options->has_password || !FromHex(optarg, &options->password)) return false;
        options->has_password = true;
        break;
      default: return false;
    }
  }
  return true;
}

int AddGenericPassword(int argc, char** argv) {
  const char* syntax = "-s service -a account (-w password | -X hexbytes) [keychain]";
  ItemOptions options;
  if (!ReadItemOptions(argc, argv, "+s:a:w:X:", &options) || !options.has_password ||
      argc - optind > 1) {
    return Usage("add-generic-password", syntax);
  }
  SecKeychainRef keychain = nullptr;
  OSStatus status = optind == argc ? errSecSuccess : SecKeychainOpen(argv[optind], &keychain);
  if (status == errSecSuccess) {
    status = SecKeychainAddGenericPassword(
        keychain, static_cast<UInt32>(options.service.size()), options.service.data(),
        static_cast<UInt32>(options.account.size()), options.account.data(),
        static_cast<UInt32>(options.password.size()), options.password.data(), nullptr);
  }
  if (keychain != nullptr) CFRelease(keychain);
  return status == errSecSuccess ? 0 : Fail("SecKeychainItemCreateFromContent", status);
}

// Looks the item up in the named keychains (the search list for none).
OSStatus FindItem(int argc, char** argv, const ItemOptions& options, std::string* password,
                  SecKeychainItemRef* item) {
  std::vector<CFTypeRef> keychains;
  OSStatus status = OpenAll(argv + optind, argc - optind, &keychains);
  CFArrayRef list = nullptr;
  if (status == errSecSuccess && !keychains.empty()) {
    list = KeychainArray(keychains);
    status = list == nullptr ? errSecAllocate : errSecSuccess;
  }
  UInt32 length = 0;
  void* data = nullptr;
  if (status == errSecSuccess) {
    status = SecKeychainFindGenericPassword(
        list, static_cast<UInt32>(options.service.size()),
        options.has_service ? options.service.data() : nullptr,
        static_cast<UInt32>(options.account.size()),
        options.has_account ? options.account.data() : nullptr, &length, &data, item);
  }
  if (data != nullptr) {
    password->assign(static_cast<const char*>(data), length);
    memset(data, 0, length);
    SecKeychainItemFreeContent(nullptr, data);
  }
  if (list != nullptr) CFRelease(list);
  ReleaseAll(keychains);
  return status;
}

// Prints the item found with its own names, which are not those asked for
// when a name was left out.
void PrintItem(SecKeychainItemRef item) {
  SecKeychainRef keychain = nullptr;
  if (SecKeychainItemCopyKeychain(item, &keychain) == errSecSuccess) {
    PrintPath("keychain: ", keychain);
    CFRelease(keychain);
  }
  const char* service_bytes = nullptr;
  const char* account_bytes = nullptr;
  size_t service_length = 0;
  size_t account_length = 0;
  SecurityStandinItemNames(item, &service_bytes, &service_length, &account_bytes,
                           &account_length);
  const std::string service(service_bytes, service_length);
  const std::string account(account_bytes, account_length);
  printf("class: \"genp\"\nattributes:\n");
  printf("    \"acct\"<blob>=\"%s\"\n", IsPrintable(account) ? account.c_str() : "");
  printf("    \"svce\"<blob>=\"%s\"\n", IsPrintable(service) ? service.c_str() : "");
}

int FindGenericPassword(int argc, char** argv) {
  ItemOptions options;
  int option;
  bool password_only = false;
  while ((option = getopt(argc, argv, "+s:a:w")) != -1) {
    if (option == 's') {
      options.service = optarg;
      options.has_service = true;
    } else if (option == 'a') {
      options.account = optarg;
      options.has_account = true;
    } else if (option == 'w') {
      password_only = true;
    } else {
      return Usage("find-generic-password", "[-s service] [-a account] [-w] [keychain...]");
    }
  }
  std::string password;
  SecKeychainItemRef item = nullptr;
  const OSStatus status = FindItem(argc, argv, options, &password, &item);
  if (status != errSecSuccess) {
    return Fail("SecKeychainSearchCopyNext", status);
  }
  if (password_only) {
    // Text as it is; anything else as hex digits, one line either way.
    printf("%s\n", IsPrintable(password) ? password.c_str() : Hex(password).c_str());
  } else {
    PrintItem(item);
  }
  CFRelease(item);
  return 0;
}

int DeleteGenericPassword(int argc, char** argv) {
  ItemOptions options;
  if (!ReadItemOptions(argc, argv, "+s:a:", &options)) {
    return Usage("delete-generic-password", "[-s service] [-a account] [keychain...]");
  }
  std::string password;
  SecKeychainItemRef item = nullptr;
  OSStatus status = FindItem(argc, argv, options, &password, &item);
  if (status == errSecSuccess) {
    PrintItem(item);
    status = SecKeychainItemDelete(item);
    CFRelease(item);
  }
  if (status != errSecSuccess) {
    return Fail("SecKeychainItemDelete", status);
  }
  printf("password has been deleted.\n");
  return 0;
}

struct Verb {
  const char* name;
  int (*run)(int argc, char** argv);
};

const Verb kVerbs[] = {
    {"create-keychain", CreateKeychain},
    {"list-keychains", ListKeychains},
    {"default-keychain", DefaultKeychain},
    {"lock-keychain", LockKeychain},
    {"unlock-keychain", UnlockKeychain},
    {"add-generic-password", AddGenericPassword},
    {"find-generic-password", FindGenericPassword},
    {"delete-generic-password", DeleteGenericPassword},
};

// Runs the verb; an allocation failure in the tool itself ends it with one
// line and a status, not with std::terminate's abort.
int RunVerb(const Verb& verb, int argc, char** argv) {
  try {
    return verb.run(argc, argv);
  } catch (const std::bad_alloc&) {
    return Fail(verb.name, errSecAllocate);
  }
}

}  // namespace

int main(int argc, char** argv) {
  opterr = 0;
  if (argc < 2) {
    fprintf(stderr, "security: usage: security command [options] [arguments]\n");
    return 2;
  }
  for (const Verb& verb : kVerbs) {
    if (strcmp(argv[1], verb.name) == 0) {
      optind = 1;
      return RunVerb(verb, argc - 1, argv + 1);
    }
  }
  fprintf(stderr, "security: unknown command \"%s\"\n", argv[1]);
  return 2;
}
