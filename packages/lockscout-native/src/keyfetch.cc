// keyfetch: reads the application's key from the user's keychain, or with
// "create-key" stores the bytes on standard input as the key when none
// exists yet, and writes the key's raw bytes to standard output.
//
//   keyfetch read-key|create-key IDENTITY   < input   > key bytes
//
// It prints nothing else, anywhere: the exit status is the whole report.
//   0  the key was written and reached the output
//   1  bad arguments, no key, a keychain failure, a stored key of the wrong
//      size, or output that did not arrive
//   2  no argument at all, more than 65536 bytes of input, or a broken read
//
// The identity allow-list and the keychain names come from the same header
// as lockscout's, so a probe and a fetch address the same item.

#include <cstddef>
#include <iostream>
#include <string>

#include <errno.h>
#include <unistd.h>

#include "credential_identity.h"
#include "program_start.h"
#include "platform_security.h"

namespace {

constexpr int kStatusKeyWritten = 0;
constexpr int kStatusFailed = 1;
constexpr int kStatusInputRefused = 2;

// Input beyond this is refused. The buffer holds one byte more so that an
// overlong input shows up as too long instead of being cut short silently.
constexpr std::size_t kMaxInputBytes = 65536;
constexpr std::size_t kInputBufferBytes = kMaxInputBytes + 1;
// A key is 1 to 1024 bytes, both when it is created and when it is handed out.
constexpr std::size_t kMaxKeyBytes = 1024;

const char kReadKey[] = "read-key";
const char kCreateKey[] = "create-key";

// The input, in static storage rather than on the stack: 64 KiB of stack
// on top of what the keychain needs made a small stack limit kill the
// program by SIGSEGV after it had read the key and before it wiped it.
unsigned char inputBuffer[kInputBufferBytes];

// Overwrites a secret byte by byte through a volatile pointer, so that the
// compiler cannot drop the stores as dead even right before the memory is
// freed or the program returns.
void ZeroBytes(void* data, std::size_t count) {
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = 0;
  }
}

bool IsKeySize(std::size_t count) {
  return count >= 1 && count <= kMaxKeyBytes;
}

// Reads standard input up to its end, or until the buffer is full, into the
// zeroed buffer, retrying EINTR here only. False when the input is longer
// than allowed or a read failed: the standard stream would report a reset
// socket, a directory or a write-only descriptor as the end of input, and a
// truncated key would be stored as if it were whole.
bool ReadInput(unsigned char* buffer, std::size_t& count) {
  ZeroBytes(buffer, kInputBufferBytes);
  count = 0;
  while (count < kInputBufferBytes) {
    const ssize_t got = read(STDIN_FILENO, buffer + count, kInputBufferBytes - count);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return false;
    }
    if (got == 0) {
      break;
    }
    count += static_cast<std::size_t>(got);
  }
  return count <= kMaxInputBytes;
}

// Writes the key and makes sure it left the process. Standard output is
// buffered, so a full device or a closed pipe often fails only when the
// buffer is flushed; judged before the flush, a key that never reached the
// caller would be reported as delivered. A stream's error state is never
// cleared by a later call, so the one check after the flush covers the write.
bool WriteKey(const void* key, UInt32 length) {
  std::cout.write(static_cast<const char*>(key), static_cast<std::streamsize>(length));
  std::cout.flush();
  return std::cout.good();
}

// Looks the key up and, for "create-key" when there is none, stores the input
// as the new key and looks it up again. Writes the key when one of the right
// size was found. The key bytes the keychain hands out are wiped and released
// on every path.
int FetchKey(const std::string& command, const std::string& identity,
             const unsigned char* input, std::size_t inputLength) {
  const std::string service = credential_identity::ServiceName(identity);
  std::string account = credential_identity::AccountName(identity);
  UInt32 keyLength = 0;
  void* keyData = nullptr;
  // Every lookup goes through this one binding; only the text in account
  // changes between them.
  const auto lookUp = [&service, &account, &keyLength, &keyData]() {
    return SecKeychainFindGenericPassword(nullptr, static_cast<UInt32>(service.size()),
                                          service.data(), static_cast<UInt32>(account.size()),
                                          account.data(), &keyLength, &keyData, nullptr);
  };

  OSStatus status = lookUp();
  if (status == errSecItemNotFound) {
    // A key stored under the older account name is returned as it is; it is
    // never copied or moved to the current account name.
    account = credential_identity::FallbackAccountName(identity);
    status = lookUp();
  }
  if (status == errSecItemNotFound && command == kCreateKey && IsKeySize(inputLength)) {
    account = credential_identity::AccountName(identity);
    status = SecKeychainAddGenericPassword(nullptr, static_cast<UInt32>(service.size()),
                                           service.data(), static_cast<UInt32>(account.size()),
                                           account.data(), static_cast<UInt32>(inputLength), input,
                                           nullptr);
    // A duplicate means another run stored the key between our lookup and
    // our add: reading it back returns that run's key, so both agree.
    if (status == errSecSuccess || status == errSecDuplicateItem) {
      status = lookUp();
    }
  }

  int exitStatus = kStatusFailed;
  if (status == errSecSuccess && keyData != nullptr && IsKeySize(keyLength)) {
    exitStatus = WriteKey(keyData, keyLength) ? kStatusKeyWritten : kStatusFailed;
  }
  if (keyData != nullptr) {
    ZeroBytes(keyData, keyLength);
    SecKeychainItemFreeContent(nullptr, keyData);
  }
  return exitStatus;
}

// Everything after the input has been read. The input buffer is left to the
// caller, who wipes it whatever this returns. A standard output that was
// closed at start (now /dev/null) cannot deliver a key: nothing is looked
// up, and nothing created.
int Run(int argc, char* argv[], const std::string& command, const unsigned char* input,
        std::size_t inputLength, bool outputUsable) {
  if (!outputUsable || argc != 3) {
    return kStatusFailed;
  }
  const std::string identity(argv[2]);
  if (!credential_identity::IsAllowedIdentity(identity)) {
    return kStatusFailed;
  }
  if (command != kReadKey && command != kCreateKey) {
    return kStatusFailed;
  }
  return FetchKey(command, identity, input, inputLength);
}

}  // namespace

int main(int argc, char* argv[]) {
  const int closedAtStart = program_start::StartProgram();
  const bool outputUsable =
      closedAtStart >= 0 && (closedAtStart & program_start::kStandardOutputClosed) == 0;
  // Without any argument the caller is not speaking to us as expected; leave
  // standard input alone, so a caller that never closes it is not stuck.
  if (argc < 2) {
    return kStatusInputRefused;
  }
  const std::string command(argv[1]);

  // The input is read to its end before the arguments are judged, for both
  // commands, so a caller writing to a child that fails early never blocks
  // on a full pipe.
  std::size_t inputLength = 0;
  const bool inputAccepted = ReadInput(inputBuffer, inputLength);
  const int status = inputAccepted
                         ? Run(argc, argv, command, inputBuffer, inputLength, outputUsable)
                         : kStatusInputRefused;
  // The input may be a key; it must not linger in memory after we are done.
  ZeroBytes(inputBuffer, kInputBufferBytes);
  return status;
}
