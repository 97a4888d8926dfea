// The application's identities and the keychain names derived from them.
// lockscout and keyfetch both include this header, so a caller that probes
// an identity and then fetches its key addresses one and the same item.
#pragma once

#include <string>

namespace credential_identity {

// Exact match only: same length, same bytes. No trimming or case folding,
// because a name that merely resembles ours must never select our item.
inline bool IsAllowedIdentity(const std::string& identity) {
  static const char* const kAllowed[] = {
      "Velkor Atlas",
      "Velkor Atlas (DEV)",
      "Velkor-Atlas",
      "Velkor-Atlas (DEV)",
  };
  for (const char* allowed : kAllowed) {
    if (identity == allowed) {
      return true;
    }
  }
  return false;
}

// The item's service attribute.
inline std::string ServiceName(const std::string& identity) {
  return identity + " Safe Storage";
}

// The item's account attribute.
inline std::string AccountName(const std::string& identity) {
  return identity + " Key";
}

// The second place to look when nothing is stored under AccountName.
inline std::string FallbackAccountName(const std::string& identity) {
  return identity;
}

}  // namespace credential_identity
