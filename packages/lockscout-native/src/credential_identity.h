// The application's identities and the keychain names derived from them.
// lockscout and keyfetch both include this header, so a caller that probes
// an identity and then fetches its key addresses one and the same item.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace credential_identity {

constexpr const char* kAllowedIdentities[] = {
    "Velkor Atlas",
    "Velkor Atlas (DEV)",
    "Velkor-Atlas",
    "Velkor-Atlas (DEV)",
};
// The longest of them, in bytes, counted by the compiler: keyfetch sizes
// its name buffers by it, so a longer identity added above can never
// overflow them.
constexpr std::size_t LongestIdentityBytes() {
  std::size_t longest = 0;
  for (const char* allowed : kAllowedIdentities) {
    std::size_t length = 0;
    while (allowed[length] != '\0') {
      ++length;
    }
    longest = length > longest ? length : longest;
  }
  return longest;
}
constexpr std::size_t kMaxIdentityBytes = LongestIdentityBytes();

// Appended to the identity for the item's service and account attributes.
constexpr char kServiceSuffix[] = " Safe Storage";
constexpr char kAccountSuffix[] = " Key";

// Exact match only: same length, same bytes. No trimming or case folding,
// because a name that merely resembles ours must never select our item.
// This form allocates nothing, for keyfetch, which judges its arguments
// without the C++ library.
inline bool IsAllowedIdentity(const char* bytes, std::size_t length) {
  for (const char* allowed : kAllowedIdentities) {
    if (std::strlen(allowed) == length && std::memcmp(allowed, bytes, length) == 0) {
      return true;
    }
  }
  return false;
}

inline bool IsAllowedIdentity(const std::string& identity) {
  return IsAllowedIdentity(identity.data(), identity.size());
}

// The item's service attribute.
inline std::string ServiceName(const std::string& identity) {
  return identity + kServiceSuffix;
}

// The item's account attribute.
inline std::string AccountName(const std::string& identity) {
  return identity + kAccountSuffix;
}

// The second place to look when nothing is stored under AccountName.
inline std::string FallbackAccountName(const std::string& identity) {
  return identity;
}

}  // namespace credential_identity
