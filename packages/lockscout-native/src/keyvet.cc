// keyvet: tells the application whether an existing protected key, handed
// over on standard input, can be unprotected by the current user and yields
// a key of the expected size. It answers with one JSON line and always exits
// with status 0.
//
// The validation core reaches the platform's decryption only through the
// CryptoApi table a back end hands in. This platform has no such back end,
// so main prints the fixed "unsupported" line without reading standard input
// or looking at its arguments.

#include <array>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <string>

#include <errno.h>
#include <unistd.h>

#include "program_start.h"

namespace credential_key {

// One outcome of a validation, as reported in the JSON line.
struct ValidationResult {
  std::string status;
  std::string reason;
  uint32_t errorCode;
};

// A byte count followed by the bytes: carries the protected input to the
// back end and the unprotected key back from it.
struct KeyBlob {
  uint32_t count;
  unsigned char* data;
};

// The decryption back end. unprotect fills the output blob with a buffer the
// back end owns; the caller hands it back through wipe, then release.
struct CryptoApi {
  bool (*unprotect)(const KeyBlob* input, uint32_t flags, KeyBlob* output, uint32_t* errorCode);
  void (*wipe)(unsigned char* data, uint32_t count);
  void (*release)(unsigned char* data);
};

namespace {

// The largest protected key accepted. The buffer holds one byte more so that
// a longer input is seen as too long rather than silently cut short.
constexpr std::size_t kMaxInputBytes = 65536;
constexpr std::size_t kInputBufferBytes = kMaxInputBytes + 1;
constexpr uint32_t kUnprotectFlags = 1;
constexpr uint32_t kKeyBytes = 32;

// The back end's codes for "this user may not unprotect it now" (access
// denied, no logon session, password restriction, logon failure): the key
// may be fine, the caller is blocked.
bool IsAccessBlockedCode(uint32_t code) {
  return code == 5 || code == 1312 || code == 1325 || code == 1326;
}

ValidationResult JudgeUnprotected(bool unprotected, const KeyBlob& output, uint32_t errorCode) {
  if (!unprotected) {
    return ValidationResult{IsAccessBlockedCode(errorCode) ? "access-blocked" : "error",
                            "dpapi-unprotect-failed", errorCode};
  }
  if (output.data != nullptr && output.count == kKeyBytes) {
    return ValidationResult{"valid", "existing-key-validated", 0};
  }
  return ValidationResult{"error", "invalid-key-size", 0};
}

}  // namespace

// Reads from fd until `capacity` bytes have arrived or the input ends,
// retrying EINTR here only. -1 when a read fails: a reset socket, a
// directory or a write-only descriptor must not pass for a short input.
long ReadToEnd(int fd, char* buffer, std::size_t capacity) {
  std::size_t done = 0;
  while (done < capacity) {
    const ssize_t count = read(fd, buffer + done, capacity - done);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      return -1;
    }
    if (count == 0) {
      break;
    }
    done += static_cast<std::size_t>(count);
  }
  return static_cast<long>(done);
}

// Reads the protected key from the descriptor (at most 65536 bytes) and
// unprotects it through api. Whatever the outcome, an output buffer the back
// end handed over is wiped and released exactly once, so the plain key never
// outlives this call.
ValidationResult ReadAndValidate(int input, const CryptoApi& api) {
  // Static storage rather than 64 KiB of stack, which a small stack limit
  // turns into a SIGSEGV.
  static std::array<char, kInputBufferBytes> buffer;
  buffer.fill(0);
  const long count = ReadToEnd(input, buffer.data(), buffer.size());
  if (count < 0) {
    return ValidationResult{"error", "input-read-failed", 0};
  }
  if (count == 0 || static_cast<std::size_t>(count) > kMaxInputBytes) {
    return ValidationResult{"error", "invalid-ciphertext-size", 0};
  }

  const KeyBlob protectedKey{static_cast<uint32_t>(count),
                             reinterpret_cast<unsigned char*>(buffer.data())};
  KeyBlob plainKey{0, nullptr};
  uint32_t errorCode = 0;
  const bool unprotected = api.unprotect(&protectedKey, kUnprotectFlags, &plainKey, &errorCode);
  ValidationResult result = JudgeUnprotected(unprotected, plainKey, errorCode);
  // A back end may leave a buffer behind even when it reports failure; it
  // still holds whatever it decrypted, so it is wiped and returned too.
  if (plainKey.data != nullptr) {
    api.wipe(plainKey.data, plainKey.count);
    api.release(plainKey.data);
  }
  return result;
}

// The JSON line, without its newline. Nothing is escaped: every text that
// reaches it is a fixed word of letters and hyphens.
std::string SerializeResult(const std::string& platform, const ValidationResult& result) {
  std::string line = "{\"schemaVersion\":1,\"platform\":\"";
  line += platform;
  line += "\",\"status\":\"";
  line += result.status;
  line += "\",\"reason\":\"";
  line += result.reason;
  line += "\",\"errorCode\":";
  line += std::to_string(result.errorCode);
  line += "}";
  return line;
}

}  // namespace credential_key

// No back end exists on this platform, so standard input is deliberately
// left unread: a caller that keeps its pipe open must not make us wait.
int main() {
  // A caller that closed its end, or a file-size limit on the file the line
  // goes to, must see status 0, not a death by SIGPIPE or SIGXFSZ. If a
  // standard descriptor cannot be filled, nothing is done at all.
  if (program_start::StartProgram() < 0) {
    return 0;
  }
  const credential_key::ValidationResult result{"unsupported", "platform-backend-unsupported", 0};
  std::cout << credential_key::SerializeResult("darwin", result) << '\n';
  return 0;
}
