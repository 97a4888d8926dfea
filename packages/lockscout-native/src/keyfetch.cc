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
#include <cstring>

#include <errno.h>
#include <unistd.h>

#include "credential_identity.h"
#include "program_start.h"
#include "platform_security.h"

// Where the key may be copied. Its bytes reach standard output by write(2)
// straight from the keychain's buffer, which is then wiped: a stream or
// stdio buffer would keep its own copy, never overwritten, freed at exit
// with the key in it, where a core dump or a debugger attached at the end
// reads it. The input, which for "create-key" is the new key, is read by
// read(2) into one static buffer, passed to the keychain from there and
// wiped.
//
// keyfetch allocates nothing and calls nothing of the C++ library: the
// names live in fixed buffers, built and judged before the input is read.
// A failed allocation of a name after the read ended the program by
// std::terminate with the input still in its buffer. And the first call
// into a lazily bound function (the C++ library's own calls into the C
// library on Linux; every import of a Mac build that cannot bind at load)
// goes through the dynamic linker's trampoline, which saves the vector
// registers on the stack, where a key the keychain has just copied through
// them stays after keyfetch wiped its buffers. For the same reason the
// program ends by _exit once the wipe is done, before the exit handlers of
// the libraries run: there is no stream to flush.

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

// Room for an allowed identity and the longer suffix; the names are
// never longer, since only allowed identities are used.
constexpr std::size_t kNameBytes =
    credential_identity::kMaxIdentityBytes + sizeof credential_identity::kServiceSuffix;
static_assert(sizeof credential_identity::kServiceSuffix >= sizeof credential_identity::kAccountSuffix,
              "the service suffix is the longer one, so kNameBytes holds every name");

// One keychain name, as the lookups take it: bytes and a length, no NUL.
struct Name {
  char bytes[kNameBytes];
  UInt32 length;
};

// What the arguments ask for, with every name the lookups need, made before
// any secret is in memory. usable is false when the request is refused:
// argument count, identity or command.
struct Request {
  bool usable;
  bool create;
  Name service;
  Name account;
  Name fallbackAccount;
};

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

// read(2) and write(2) with EINTR retried, here only.
ssize_t ReadSome(int fd, unsigned char* bytes, std::size_t count) {
  for (;;) {
    const ssize_t got = read(fd, bytes, count);
    if (got >= 0 || errno != EINTR) {
      return got;
    }
  }
}

ssize_t WriteSome(int fd, const unsigned char* bytes, std::size_t count) {
  for (;;) {
    const ssize_t written = write(fd, bytes, count);
    if (written >= 0 || errno != EINTR) {
      return written;
    }
  }
}

// The identity followed by suffix. Only ever called for an allowed identity.
void MakeName(const char* identity, std::size_t length, const char* suffix, Name& name) {
  const std::size_t suffixLength = std::strlen(suffix);
  std::memcpy(name.bytes, identity, length);
  std::memcpy(name.bytes + length, suffix, suffixLength);
  name.length = static_cast<UInt32>(length + suffixLength);
}

// Fills request from the arguments. Judged here, before the input is read,
// but acted on only after it (see main).
void Prepare(int argc, char* argv[], Request& request) {
  request.usable = false;
  request.create = false;
  if (argc != 3) {
    return;
  }
  const char* command = argv[1];
  const char* identity = argv[2];
  const std::size_t identityLength = std::strlen(identity);
  const bool read = std::strcmp(command, kReadKey) == 0;
  const bool create = std::strcmp(command, kCreateKey) == 0;
  if (!credential_identity::IsAllowedIdentity(identity, identityLength) || (!read && !create)) {
    return;
  }
  MakeName(identity, identityLength, credential_identity::kServiceSuffix, request.service);
  MakeName(identity, identityLength, credential_identity::kAccountSuffix, request.account);
  // The fallback account name is the identity itself.
  MakeName(identity, identityLength, "", request.fallbackAccount);
  request.create = create;
  request.usable = true;
}

// Reads standard input up to its end, or until the buffer is full, into the
// zeroed buffer. False when the input is longer than allowed or a read
// failed: the standard stream would report a reset socket, a directory or a
// write-only descriptor as the end of input, and a truncated key would be
// stored as if it were whole.
bool ReadInput(unsigned char* buffer, std::size_t& count) {
  ZeroBytes(buffer, kInputBufferBytes);
  count = 0;
  while (count < kInputBufferBytes) {
    const ssize_t got = ReadSome(STDIN_FILENO, buffer + count, kInputBufferBytes - count);
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

// Writes every byte of the key to standard output, straight from the
// keychain's buffer: the key is delivered only when all of it was written.
// A short write is continued where it stopped; a full device, a reader gone
// (EPIPE, SIGPIPE being ignored) or a write that makes no progress is a
// failure.
bool WriteKey(const unsigned char* key, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t written = WriteSome(STDOUT_FILENO, key + done, length - done);
    if (written <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(written);
  }
  return true;
}

// One lookup under the service and the given account; fills the key length
// and data on success.
OSStatus LookUp(const Request& request, const Name& account, UInt32& keyLength, void*& keyData) {
  return SecKeychainFindGenericPassword(nullptr, request.service.length, request.service.bytes,
                                        account.length, account.bytes, &keyLength, &keyData,
                                        nullptr);
}

// Looks the key up and, for "create-key" when there is none, stores the input
// as the new key and looks it up again. Writes the key when one of the right
// size was found. The key bytes the keychain hands out are wiped and released
// on every path.
int FetchKey(const Request& request, const unsigned char* input, std::size_t inputLength) {
  UInt32 keyLength = 0;
  void* keyData = nullptr;
  OSStatus status = LookUp(request, request.account, keyLength, keyData);
  if (status == errSecItemNotFound) {
    // A key stored under the older account name is returned as it is; it is
    // never copied or moved to the current account name.
    status = LookUp(request, request.fallbackAccount, keyLength, keyData);
  }
  if (status == errSecItemNotFound && request.create && IsKeySize(inputLength)) {
    status = SecKeychainAddGenericPassword(nullptr, request.service.length, request.service.bytes,
                                           request.account.length, request.account.bytes,
                                           static_cast<UInt32>(inputLength), input, nullptr);
    // A duplicate means another run stored the key between our lookup and
    // our add: reading it back returns that run's key, so both agree.
    if (status == errSecSuccess || status == errSecDuplicateItem) {
      status = LookUp(request, request.account, keyLength, keyData);
    }
  }

  int exitStatus = kStatusFailed;
  if (status == errSecSuccess && keyData != nullptr && IsKeySize(keyLength)) {
    exitStatus = WriteKey(static_cast<const unsigned char*>(keyData), keyLength)
                     ? kStatusKeyWritten
                     : kStatusFailed;
  }
  if (keyData != nullptr) {
    ZeroBytes(keyData, keyLength);
    SecKeychainItemFreeContent(nullptr, keyData);
  }
  return exitStatus;
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
  Request request;
  Prepare(argc, argv, request);

  // The input is read to its end before the request is acted on, for both
  // commands, so a caller writing to a child that fails early never blocks
  // on a full pipe. A standard output that was closed at start (now
  // /dev/null) cannot deliver a key: nothing is looked up, and nothing
  // created.
  std::size_t inputLength = 0;
  int status = kStatusInputRefused;
  if (ReadInput(inputBuffer, inputLength)) {
    status = request.usable && outputUsable ? FetchKey(request, inputBuffer, inputLength)
                                            : kStatusFailed;
  }
  // The input may be a key; it must not linger in memory after we are done.
  ZeroBytes(inputBuffer, kInputBufferBytes);
  _exit(status);
}
