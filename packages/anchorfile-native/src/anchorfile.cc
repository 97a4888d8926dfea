// anchorfile: safe file publication, crash-safe removal and recovery in the
// application's storage tree.
//
// Paths below the storage root are never handed to the system whole: every
// directory is opened one simple name at a time, relative to its parent's
// descriptor, never following a symbolic link. A removal never unlinks a
// file where it stands; it moves the file into a private quarantine that
// already holds a durable receipt, so that a crash at any step leaves a state
// from which recoverAnchoredRemoval can finish the removal or undo it.

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <node_api.h>

// Included last: on platforms without the macOS interfaces it maps them to
// stand-ins.
#include "platform_fileops.h"

namespace {

using ByteString = std::string;
using ByteView = std::string_view;
using ComponentList = std::vector<ByteString>;

// Every directory below (and including) the storage root is opened with these
// flags: a symbolic link as the last component fails with ELOOP instead of
// being followed, and a non-directory fails with ENOTDIR.
constexpr int kAnchoredDirectoryFlags = O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC;

// O_NONBLOCK keeps a FIFO or a device planted under the source name from
// blocking the script thread in open; the type check refuses it afterwards.
constexpr int kPublicationSourceFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

constexpr int kReceiptWriteFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr int kReceiptReadFlags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;

constexpr size_t kMaxReceiptSize = 4096;
constexpr char kReceiptName[] = "receipt";
constexpr char kPayloadName[] = "payload";
constexpr char kPublicationHeader[] = "publication-removal-v1";
constexpr char kContentHeader[] = "content-removal-v1";
constexpr char kPublicationQuarantinePrefix[] = ".publication-recovery-";
constexpr char kContentQuarantinePrefix[] = ".content-recovery-";

constexpr char kPublishUsage[] = "publishNoReplace requires root, parent, source, and destination.";
constexpr char kPublishInvalid[] = "Invalid atomic publication path.";
constexpr char kInspectUsage[] = "inspectPath requires a path.";
constexpr char kInspectInvalid[] = "Invalid storage-path query.";
constexpr char kRemovalInvalid[] = "Invalid anchored removal arguments.";
constexpr char kRecoveryInvalid[] = "Invalid removal recovery arguments.";
constexpr char kRequiresRecovery[] = "Publication quarantine requires recovery: ";
// The longer of the two quarantine name forms (".content-recovery-" and 64
// hex digits); every quarantine name has passed its rule before use.
constexpr size_t kMaxQuarantineNameSize = 82;

// ---------------------------------------------------------------------------
// Errors reaching the script

constexpr const char* PosixErrorCode(int error_number) {
  // flock on some network volumes answers EOPNOTSUPP, a number of its own
  // on macOS (102, where ENOTSUP is 45) and ENOTSUP's on Linux, so it is
  // tested before the switch, which cannot name one number twice.
  if (error_number == EOPNOTSUPP) {
    return "ENOTSUP";
  }
  switch (error_number) {
    case EPERM:
    case EACCES:
      return "EPERM";
    case ENOENT:
      return "ENOENT";
    case EEXIST:
    case ENOTEMPTY:
      return "EEXIST";
    case EXDEV:
      return "EXDEV";
    case EINVAL:
      return "EINVAL";
    case ENOTSUP:
    case ENOSYS:
      return "ENOTSUP";
    case ELOOP:
      return "ELOOP";
    case ESTALE:
      return "ESTALE";
    default:
      return "EIO";
  }
}

constexpr bool SameText(const char* left, const char* right) {
  return *left == *right && (*left == '\0' || SameText(left + 1, right + 1));
}

// Checked in every build, the macOS one included, where the two numbers
// differ: an unsupported lock must not reach the script as an I/O error.
static_assert(SameText(PosixErrorCode(EOPNOTSUPP), "ENOTSUP"), "EOPNOTSUPP maps to ENOTSUP");

// Raises a plain error with the fixed message and a `code` property. The
// caller releases what it holds and returns nullptr so the host throws it.
// Takes a view, so that a fixed message is never copied into an allocation
// that could fail on the way out of a failure.
void ThrowError(napi_env env, ByteView message, const char* code) {
  napi_value message_value = nullptr;
  napi_value error = nullptr;
  napi_value code_value = nullptr;
  napi_create_string_utf8(env, message.data(), message.size(), &message_value);
  napi_create_error(env, nullptr, message_value, &error);
  napi_create_string_utf8(env, code, NAPI_AUTO_LENGTH, &code_value);
  napi_set_named_property(env, error, "code", code_value);
  napi_throw(env, error);
}

// "Publication quarantine requires recovery: " and the quarantine's name,
// put together on the stack rather than in an allocation that could fail.
void ThrowRequiresRecovery(napi_env env, const ByteString& quarantine_name, const char* code) {
  char message[sizeof kRequiresRecovery + kMaxQuarantineNameSize];
  const size_t prefix_size = sizeof kRequiresRecovery - 1;
  const size_t name_size = quarantine_name.size() < sizeof message - prefix_size
                               ? quarantine_name.size()
                               : sizeof message - prefix_size;
  memcpy(message, kRequiresRecovery, prefix_size);
  memcpy(message + prefix_size, quarantine_name.data(), name_size);
  ThrowError(env, ByteView(message, prefix_size + name_size), code);
}

// The code of a refused argument intake. An argument too large to copy is
// not invalid: it keeps the code of its error number (ENOMEM, "EIO" like any
// number outside the table); every other refusal is "EINVAL".
const char* IntakeErrorCode(int error_number) {
  return error_number == ENOMEM ? PosixErrorCode(ENOMEM) : "EINVAL";
}

// ---------------------------------------------------------------------------
// Allocation

// Runs a step that allocates: a copy of an argument, a component list, the
// text of a receipt. The standard containers report an exhausted heap by
// throwing, and an exception that left a Node-API callback would end the
// whole application (std::terminate, exit 134) with descriptors and a
// quarantine lock still held; here the step fails instead, with ENOMEM, and
// its caller takes the path of any other failed step. Returns what the step
// returns.
template <typename Step>
bool Allocating(Step step) {
  try {
    return step();
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  errno = ENOMEM;
  return false;
}

// ---------------------------------------------------------------------------
// Argument intake

// Fills args with up to `capacity` arguments and reports how many the script
// passed; false when the host call itself failed.
bool TakeArguments(napi_env env, napi_callback_info info, size_t capacity, napi_value* args,
                   size_t* count) {
  *count = capacity;
  return napi_get_cb_info(env, info, count, args, nullptr, nullptr) == napi_ok;
}

// Reads a string argument as UTF-8 bytes with its full length, embedded NUL
// bytes included. Leaves `out` untouched when the value is not a string
// (EINVAL) or too large to copy (ENOMEM). The host copies straight into the
// string; the NUL it writes after the bytes lands on the string's own.
bool ReadString(napi_env env, napi_value value, ByteString* out) {
  size_t length = 0;
  if (napi_get_value_string_utf8(env, value, nullptr, 0, &length) != napi_ok) {
    errno = EINVAL;
    return false;
  }
  ByteString text;
  if (!Allocating([&] {
        text.resize(length);
        return true;
      })) {
    return false;
  }
  size_t copied = 0;
  if (napi_get_value_string_utf8(env, value, &text[0], length + 1, &copied) != napi_ok) {
    errno = EINVAL;
    return false;
  }
  text.resize(copied);  // never longer, so never allocates
  out->swap(text);
  return true;
}

// Reads a BigInt with one of the host's 64-bit getters. A plain number, or
// a BigInt that does not fit the type (negative for unsigned, or beyond 64
// bits), is refused, and `out` is left as it was.
template <typename Number>
bool ReadBigInt(napi_env env, napi_value value,
                napi_status (*get)(napi_env, napi_value, Number*, bool*), Number* out) {
  bool lossless = false;
  Number result = 0;
  if (get(env, value, &result, &lossless) != napi_ok || !lossless) {
    return false;
  }
  *out = result;
  return true;
}

bool ReadUnsigned64(napi_env env, napi_value value, uint64_t* out) {
  return ReadBigInt(env, value, napi_get_value_bigint_uint64, out);
}

// Produces the `undefined` that a successful call returns.
napi_value Undefined(napi_env env) {
  napi_value undefined = nullptr;
  napi_get_undefined(env, &undefined);
  return undefined;
}

bool ContainsByte(const ByteString& text, char byte) {
  return text.find(byte) != ByteString::npos;
}

// ---------------------------------------------------------------------------
// Relative path rules

bool IsSimpleName(const ByteString& name) {
  if (name.empty() || name == "." || name == "..") {
    return false;
  }
  return !ContainsByte(name, '/') && !ContainsByte(name, '\\');
}

bool SplitComponents(const ByteString& path, ComponentList* components) {
  if (path.empty()) {
    return true;
  }
  size_t start = 0;
  for (;;) {
    if (start >= path.size()) {
      return false;  // only reached after a trailing '/'
    }
    const size_t slash = path.find('/', start);
    const size_t end = slash == ByteString::npos ? path.size() : slash;
    ByteString candidate = path.substr(start, end - start);
    if (!IsSimpleName(candidate)) {
      return false;
    }
    components->push_back(std::move(candidate));
    if (slash == ByteString::npos) {
      return true;
    }
    start = slash + 1;
  }
}

// Fills `components` with the names of a relative storage path. False for a
// path the rules refuse, and with ENOMEM when the list could not grow.
bool SplitRelativePath(const ByteString& path, ComponentList* components) {
  return Allocating([&] { return SplitComponents(path, components); });
}

// ---------------------------------------------------------------------------
// File status as the receipt records it

// The device number is widened with sign extension, as macOS reports it as a
// signed 32-bit value; where the platform's device number is already 64 bits
// wide the conversion leaves it unchanged.
uint64_t DeviceNumber(const struct stat& status) {
  return static_cast<uint64_t>(static_cast<int64_t>(status.st_dev));
}

uint64_t InodeNumber(const struct stat& status) {
  return static_cast<uint64_t>(status.st_ino);
}

// Seconds * 1e9 + nanoseconds in 64-bit two's complement. Computed unsigned
// so that a timestamp too far from the epoch wraps instead of overflowing.
int64_t ModificationNs(const struct stat& status) {
  const uint64_t seconds = static_cast<uint64_t>(static_cast<int64_t>(status.st_mtimespec.tv_sec));
  const uint64_t nanoseconds =
      static_cast<uint64_t>(static_cast<int64_t>(status.st_mtimespec.tv_nsec));
  return static_cast<int64_t>(seconds * 1000000000u + nanoseconds);
}

// ---------------------------------------------------------------------------
// Quarantine and temporary names

bool IsHexDigit(char byte) {
  return (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'f');
}

bool AllHexDigits(const ByteString& text, size_t start, size_t count) {
  for (size_t i = start; i < start + count; ++i) {
    if (!IsHexDigit(text[i])) {
      return false;
    }
  }
  return true;
}

// Lowercase text form of a version-4 UUID with the standard variant, at
// `start` in `text` (the caller has checked that 36 bytes are there).
bool IsCanonicalUuidAt(const ByteString& text, size_t start) {
  for (size_t i = 0; i < 36; ++i) {
    const char byte = text[start + i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (byte != '-') {
        return false;
      }
    } else if (!IsHexDigit(byte)) {
      return false;
    }
  }
  const char variant = text[start + 19];
  return text[start + 14] == '4' &&
         (variant == '8' || variant == '9' || variant == 'a' || variant == 'b');
}

bool HasPrefix(const ByteString& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

bool IsRemovalDirectory(const ByteString& name) {
  return name.size() == 58 && HasPrefix(name, kPublicationQuarantinePrefix) &&
         IsCanonicalUuidAt(name, 22);
}

bool IsContentRemovalDirectory(const ByteString& name) {
  return name.size() == 82 && HasPrefix(name, kContentQuarantinePrefix) &&
         AllHexDigits(name, 18, 64);
}

bool IsPublicationTemporary(const ByteString& name) {
  return name.size() == 105 && name[64] == '.' && name.compare(101, 4, ".tmp") == 0 &&
         AllHexDigits(name, 0, 64) && IsCanonicalUuidAt(name, 65);
}

// ---------------------------------------------------------------------------
// Removal receipt

struct RemovalReceipt {
  ByteString name;
  uint64_t parentDevice = 0;
  uint64_t parentInode = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modifiedNs = 0;
};

// Whether a status taken without following links describes exactly the file
// the receipt names. A symbolic link or directory never matches.
bool MatchesReceipt(const struct stat& status, const RemovalReceipt& receipt) {
  return S_ISREG(status.st_mode) && DeviceNumber(status) == receipt.device &&
         InodeNumber(status) == receipt.inode &&
         static_cast<uint64_t>(status.st_size) == receipt.size &&
         ModificationNs(status) == receipt.modifiedNs;
}

bool MatchesParent(const struct stat& status, uint64_t device, uint64_t inode) {
  return DeviceNumber(status) == device && InodeNumber(status) == inode;
}

ByteString ReceiptText(const RemovalReceipt& receipt, ByteView namespace_line) {
  ByteString text;
  if (namespace_line.empty()) {
    text += kPublicationHeader;
    text += '\n';
  } else {
    text += kContentHeader;
    text += '\n';
    text += namespace_line;
    text += '\n';
  }
  text += receipt.name + '\n';
  text += std::to_string(receipt.parentDevice) + '\n';
  text += std::to_string(receipt.parentInode) + '\n';
  text += std::to_string(receipt.device) + '\n';
  text += std::to_string(receipt.inode) + '\n';
  text += std::to_string(receipt.size) + '\n';
  text += std::to_string(receipt.modifiedNs) + '\n';
  return text;
}

// Writes all of `text`, retrying EINTR. A write that makes no progress sets
// EIO, since the system gives no error number for it.
int WriteAll(int fd, const ByteString& text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = write(fd, text.data() + written, text.size() - written);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return -1;
    }
    if (count == 0) {
      errno = EIO;
      return -1;
    }
    written += static_cast<size_t>(count);
  }
  return 0;
}

// Every sync of removal and recovery. On macOS fsync only hands the data to
// the drive, which may still write it in any order: a power loss could keep
// the file's rename into the quarantine and lose the receipt written before
// it, stranding the file where no recovery finishes it (11 of the 108 states
// the power-loss replay finds for a removal). F_BARRIERFSYNC (APFS, HFS+)
// does what fsync does and then puts a barrier behind the writes already
// flushed by a sync on the device: those reach the disk before any write
// issued after it. Each step a later one relies on is flushed by a sync of
// its own object (the receipt, its entry in the quarantine, the quarantine's
// in the parent) before that later step is issued, so the barriers give all
// the order the removal relies on, without F_FULLFSYNC's drive flush. A
// file system without it refuses the command, and plain fsync does; an I/O
// error is reported as it is. On Linux, where fsync itself orders and
// persists, the platform layer answers the barrier command with one fsync.
int OrderedSync(int fd) {
  if (fcntl(fd, F_BARRIERFSYNC) == 0) {
    return 0;
  }
  if (errno != ENOTSUP && errno != EOPNOTSUPP && errno != ENOTTY && errno != EINVAL) {
    return -1;
  }
  return fsync(fd);
}

// Creates "receipt" in the quarantine, writes it whole and syncs it. O_EXCL
// and O_NOFOLLOW mean an existing entry, link or not, is never overwritten.
// The caller syncs the quarantine directory. A failed write leaves the
// partial file; recovery refuses a partial receipt rather than guessing.
// The text is made before the file, so running out of memory (ENOMEM)
// leaves no receipt at all.
int WriteRemovalReceipt(int quarantine_fd, const RemovalReceipt& receipt,
                        ByteView namespace_line) {
  ByteString text;
  if (!Allocating([&] {
        text = ReceiptText(receipt, namespace_line);
        return true;
      })) {
    return -1;
  }
  const int fd = openat(quarantine_fd, kReceiptName, kReceiptWriteFlags, 0600);
  if (fd < 0) {
    return -1;
  }
  int result = WriteAll(fd, text);
  if (result == 0) {
    result = OrderedSync(fd);
  }
  const int saved_errno = errno;
  close(fd);
  errno = saved_errno;
  return result;
}

// Line source over the bytes of one receipt.
struct LineReader {
  const ByteString& data;
  size_t position;
};

// A line is the run of bytes up to the next LF. Fails only when no byte at
// all is left, so a final line without LF still counts.
bool NextLine(LineReader* reader, ByteString* line) {
  if (reader->position >= reader->data.size()) {
    return false;
  }
  const size_t newline = reader->data.find('\n', reader->position);
  const size_t end = newline == ByteString::npos ? reader->data.size() : newline;
  line->assign(reader->data, reader->position, end - reader->position);
  reader->position = newline == ByteString::npos ? reader->data.size() : newline + 1;
  return true;
}

bool ParseDigits(const ByteString& text, size_t start, uint64_t limit, uint64_t* value) {
  if (start >= text.size()) {
    return false;
  }
  uint64_t result = 0;
  for (size_t i = start; i < text.size(); ++i) {
    const char byte = text[i];
    if (byte < '0' || byte > '9') {
      return false;
    }
    const uint64_t digit = static_cast<uint64_t>(byte - '0');
    if (result > (limit - digit) / 10) {
      return false;
    }
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

bool ParseDecimal(const ByteString& text, uint64_t* value) {
  return ParseDigits(text, 0, UINT64_MAX, value);
}

bool ParseDecimal(const ByteString& text, int64_t* value) {
  const bool negative = !text.empty() && text[0] == '-';
  // The magnitude of INT64_MIN is one more than INT64_MAX.
  const uint64_t limit = negative ? static_cast<uint64_t>(INT64_MAX) + 1 : INT64_MAX;
  uint64_t magnitude = 0;
  if (!ParseDigits(text, negative ? 1 : 0, limit, &magnitude)) {
    return false;
  }
  *value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

// One line, one value, in canonical decimal only: the value converted back
// to text must equal the line, which rejects leading zeros and "-0".
template <typename Number>
bool ReadRemovalNumber(LineReader* reader, Number* value) {
  ByteString line;
  if (!NextLine(reader, &line)) {
    return false;
  }
  Number parsed = 0;
  if (!ParseDecimal(line, &parsed) || std::to_string(parsed) != line) {
    return false;
  }
  *value = parsed;
  return true;
}

bool ParseRemovalReceipt(const ByteString& data, ByteView namespace_line,
                         RemovalReceipt* receipt) {
  LineReader reader{data, 0};
  ByteString line;
  const bool content = !namespace_line.empty();
  if (!NextLine(&reader, &line) || line != (content ? kContentHeader : kPublicationHeader)) {
    return false;
  }
  if (content && (!NextLine(&reader, &line) || line != namespace_line)) {
    return false;
  }
  if (!NextLine(&reader, &receipt->name)) {
    return false;
  }
  const ByteString& name = receipt->name;
  if (!(content ? IsSimpleName(name) : IsPublicationTemporary(name)) || ContainsByte(name, '\0') ||
      ContainsByte(name, '\r')) {
    return false;
  }
  if (!ReadRemovalNumber(&reader, &receipt->parentDevice) ||
      !ReadRemovalNumber(&reader, &receipt->parentInode) ||
      !ReadRemovalNumber(&reader, &receipt->device) ||
      !ReadRemovalNumber(&reader, &receipt->inode) ||
      !ReadRemovalNumber(&reader, &receipt->size) ||
      !ReadRemovalNumber(&reader, &receipt->modifiedNs)) {
    return false;
  }
  return !NextLine(&reader, &line);
}

// Reads exactly `size` bytes, retrying EINTR. A failed read keeps its error
// number; early end of file (a receipt cut short under the reader) is
// EINVAL, the answer for a partial receipt.
bool ReadExactly(int fd, size_t size, ByteString* data) {
  data->assign(size, '\0');
  size_t done = 0;
  while (done < size) {
    const ssize_t count = read(fd, &(*data)[done], size - done);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      return false;
    }
    if (count == 0) {
      errno = EINVAL;
      return false;
    }
    done += static_cast<size_t>(count);
  }
  return true;
}

// Reads and strictly parses "receipt". ENOENT means the quarantine holds no
// receipt; every malformed, partial, oversized or non-regular receipt is
// EINVAL, and ENOMEM means it could not be read into memory. An fstat or
// read that fails keeps its own error number: taken for EINVAL, an I/O error
// would pass for a torn receipt, which callers give up on for good.
// O_NONBLOCK keeps a FIFO named "receipt" from hanging the open.
int ReadRemovalReceipt(int quarantine_fd, RemovalReceipt* receipt, ByteView namespace_line) {
  const int fd = openat(quarantine_fd, kReceiptName, kReceiptReadFlags);
  if (fd < 0) {
    return -1;
  }
  struct stat status;
  memset(&status, 0, sizeof(status));
  if (fstat(fd, &status) != 0) {
    const int saved_errno = errno;
    close(fd);
    errno = saved_errno;
    return -1;
  }
  ByteString data;
  const bool readable = S_ISREG(status.st_mode) && status.st_size > 0 &&
                        static_cast<uint64_t>(status.st_size) <= kMaxReceiptSize;
  bool valid = false;
  int invalid_errno = EINVAL;
  const bool in_memory = !readable || Allocating([&] {
    if (!ReadExactly(fd, static_cast<size_t>(status.st_size), &data)) {
      invalid_errno = errno;
      return true;
    }
    valid = ParseRemovalReceipt(data, namespace_line, receipt);
    return true;
  });
  close(fd);
  if (!valid) {
    errno = in_memory ? invalid_errno : ENOMEM;
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Descriptor helpers

// fstat into a zero-filled record.
int StatusOf(int fd, struct stat* status) {
  memset(status, 0, sizeof(*status));
  return fstat(fd, status);
}

int EntryStatus(int dir_fd, const ByteString& name, struct stat* status) {
  memset(status, 0, sizeof(*status));
  return fstatat(dir_fd, name.c_str(), status, AT_SYMLINK_NOFOLLOW);
}

// Whether a failed lookup of an entry means there is no such entry. A name
// longer than the file system allows can never exist, so ENAMETOOLONG is the
// same answer as ENOENT; taken for an I/O error it left a quarantine that
// every recovery failed on.
bool IsAbsentEntry(int error_number) {
  return error_number == ENOENT || error_number == ENAMETOOLONG;
}

// Syncs the two directories in order; -1 with the first failure's errno.
int SyncBoth(int first_fd, int second_fd) {
  if (OrderedSync(first_fd) != 0) {
    return -1;
  }
  return OrderedSync(second_fd);
}

// ---------------------------------------------------------------------------
// No-replace publication

// The rename goes by name, so whoever can write to the parent may exchange
// the checked file for a symbolic link between the check and the rename, and
// the link would be published under the final name. Checks, without
// following links, that the destination is the very file the source
// descriptor was opened on.
//
// When it is not, nothing is moved: a rename goes by name too, so whatever
// it moved back would be an entry nobody checked. With two publishers of one
// name and a collector that removes it, that entry is the other publisher's
// file, published with success a moment ago: moving it away under our source
// name would undo that success, and our caller, cleaning up what it takes
// for its own staged file, would delete it.
//
// False with ELOOP when the destination is another entry or none; a status
// the system cannot give (EIO) keeps its own error number, since no swap
// was seen.
bool IsPublishedSource(int parent_fd, const ByteString& destination, const struct stat& checked) {
  struct stat published;
  if (EntryStatus(parent_fd, destination, &published) != 0) {
    if (IsAbsentEntry(errno)) {
      errno = ELOOP;
    }
    return false;
  }
  if (DeviceNumber(published) == DeviceNumber(checked) &&
      InodeNumber(published) == InodeNumber(checked)) {
    return true;
  }
  errno = ELOOP;
  return false;
}

napi_value PublishPosix(napi_env env, const ByteString& root, const ComponentList& components,
                        const ByteString& source, const ByteString& destination) {
  const int root_fd = open(root.c_str(), kAnchoredDirectoryFlags);
  if (root_fd < 0) {
    const int saved_errno = errno;
    ThrowError(env, "Could not open the storage root.", PosixErrorCode(saved_errno));
    return nullptr;
  }
  int parent_fd = root_fd;
  for (const ByteString& component : components) {
    const int next_fd = openat(parent_fd, component.c_str(), kAnchoredDirectoryFlags);
    const int saved_errno = errno;
    if (next_fd < 0) {
      if (parent_fd != root_fd) {
        close(parent_fd);
      }
      close(root_fd);
      ThrowError(env, "Could not anchor the publication parent.", PosixErrorCode(saved_errno));
      return nullptr;
    }
    if (parent_fd != root_fd) {
      close(parent_fd);
    }
    parent_fd = next_fd;
  }

  const auto close_parent_and_root = [&]() {
    if (parent_fd != root_fd) {
      close(parent_fd);
    }
    close(root_fd);
  };

  const int source_fd = openat(parent_fd, source.c_str(), kPublicationSourceFlags);
  if (source_fd < 0) {
    const int saved_errno = errno;
    close_parent_and_root();
    ThrowError(env, "Could not open the publication source.", PosixErrorCode(saved_errno));
    return nullptr;
  }

  struct stat status;
  const int stat_result = StatusOf(source_fd, &status);
  const int stat_errno = errno;
  if (stat_result != 0 || !S_ISREG(status.st_mode)) {
    close(source_fd);
    close_parent_and_root();
    const int code_errno = stat_result != 0 && stat_errno != 0 ? stat_errno : ELOOP;
    ThrowError(env, "The publication source is not anchored safely.", PosixErrorCode(code_errno));
    return nullptr;
  }

  // The one change this operation makes: an atomic rename that fails with
  // EEXIST rather than replace whatever holds the destination name.
  const int rename_result =
      renameatx_np(parent_fd, source.c_str(), parent_fd, destination.c_str(), RENAME_EXCL);
  const int rename_errno = errno;
  const bool published =
      rename_result == 0 && IsPublishedSource(parent_fd, destination, status);
  const int check_errno = errno;
  close(source_fd);
  close_parent_and_root();
  if (rename_result != 0) {
    ThrowError(env, "Atomic no-replace publication failed.", PosixErrorCode(rename_errno));
    return nullptr;
  }
  if (!published) {
    ThrowError(env, "The publication source is not anchored safely.", PosixErrorCode(check_errno));
    return nullptr;
  }
  return Undefined(env);
}

napi_value PublishNoReplace(napi_env env, napi_callback_info info) {
  napi_value args[4] = {};
  size_t count = 0;
  if (!TakeArguments(env, info, 4, args, &count) || count != 4) {
    ThrowError(env, kPublishUsage, "EINVAL");
    return nullptr;
  }
  ByteString root;
  ByteString parent;
  ByteString source;
  ByteString destination;
  ComponentList components;
  // A NUL byte would make the system see a shorter name than the one
  // validated: a parent component "..\0x" passes the name rules but opens
  // "..", walking out of the storage root. Refuse NUL in every argument.
  errno = 0;
  const bool valid = ReadString(env, args[0], &root) && ReadString(env, args[1], &parent) &&
                     ReadString(env, args[2], &source) &&
                     ReadString(env, args[3], &destination) && !root.empty() &&
                     SplitRelativePath(parent, &components) && IsSimpleName(source) &&
                     IsSimpleName(destination) && !ContainsByte(root, '\0') &&
                     !ContainsByte(parent, '\0') && !ContainsByte(source, '\0') &&
                     !ContainsByte(destination, '\0');
  const int intake_errno = errno;
  if (!valid) {
    ThrowError(env, kPublishInvalid, IntakeErrorCode(intake_errno));
    return nullptr;
  }
  return PublishPosix(env, root, components, source, destination);
}

// ---------------------------------------------------------------------------
// Storage path inspection

napi_value InspectPath(napi_env env, napi_callback_info info) {
  napi_value args[1] = {};
  size_t count = 0;
  if (!TakeArguments(env, info, 1, args, &count) || count != 1) {
    ThrowError(env, kInspectUsage, "EINVAL");
    return nullptr;
  }
  ByteString path;
  errno = 0;
  const bool valid = ReadString(env, args[0], &path) && !path.empty();
  const int intake_errno = errno;
  if (!valid) {
    ThrowError(env, kInspectInvalid, IntakeErrorCode(intake_errno));
    return nullptr;
  }
  // Local APFS/HFS+ storage: never remote, hard links always supported.
  napi_value result = nullptr;
  napi_value is_remote = nullptr;
  napi_value supports_hard_links = nullptr;
  napi_create_object(env, &result);
  napi_get_boolean(env, false, &is_remote);
  napi_set_named_property(env, result, "isRemote", is_remote);
  napi_get_boolean(env, true, &supports_hard_links);
  napi_set_named_property(env, result, "supportsHardLinks", supports_hard_links);
  return result;
}

// ---------------------------------------------------------------------------
// Anchored removal

// Walks from the root to the parent one component at a time, then checks the
// parent is the very directory the caller identified: a directory swapped in
// under the same path gives ESTALE. If this returns a descriptor, the caller
// closes it.
int OpenRemovalParent(const ByteString& root, const ComponentList& components,
                      uint64_t expected_device, uint64_t expected_inode) {
  int current_fd = open(root.c_str(), kAnchoredDirectoryFlags);
  if (current_fd < 0) {
    return -1;
  }
  for (const ByteString& component : components) {
    const int next_fd = openat(current_fd, component.c_str(), kAnchoredDirectoryFlags);
    const int saved_errno = errno;
    close(current_fd);
    if (next_fd < 0) {
      errno = saved_errno;
      return -1;
    }
    current_fd = next_fd;
  }
  struct stat status;
  if (StatusOf(current_fd, &status) != 0) {
    const int saved_errno = errno;
    close(current_fd);
    errno = saved_errno;
    return -1;
  }
  if (!MatchesParent(status, expected_device, expected_inode)) {
    close(current_fd);
    errno = ESTALE;
    return -1;
  }
  return current_fd;
}

// Vets an open quarantine and takes its lock. A quarantine owned by someone
// else or open to group/others could have been prepared by an attacker, and
// a locked one (EWOULDBLOCK) is in use by another removal or recovery: all
// are EPERM, at once, without waiting. A status or lock the system cannot
// give keeps its own error number: an I/O error is no refusal, and callers
// that took it for one would stop retrying.
int VetRemovalQuarantine(int fd) {
  struct stat status;
  if (StatusOf(fd, &status) != 0) {
    return -1;
  }
  if (status.st_uid != geteuid() || (status.st_mode & 077) != 0) {
    errno = EPERM;
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      errno = EPERM;
    }
    return -1;
  }
  return 0;
}

// Opens the quarantine and vets and locks it. If this returns a descriptor,
// the caller closes it, which releases the lock.
int OpenRemovalQuarantine(int parent_fd, const ByteString& quarantine_name) {
  const int fd = openat(parent_fd, quarantine_name.c_str(), kAnchoredDirectoryFlags);
  if (fd < 0) {
    return -1;
  }
  if (VetRemovalQuarantine(fd) != 0) {
    const int saved_errno = errno;
    close(fd);
    errno = saved_errno;
    return -1;
  }
  return fd;
}

// Removes the receipt and then the quarantine, syncing after each, so that a
// crash between them leaves an empty quarantine, which recovery removes.
int DiscardQuarantine(int parent_fd, int quarantine_fd, const ByteString& quarantine_name) {
  if (unlinkat(quarantine_fd, kReceiptName, 0) != 0 || OrderedSync(quarantine_fd) != 0 ||
      unlinkat(parent_fd, quarantine_name.c_str(), AT_REMOVEDIR) != 0 ||
      OrderedSync(parent_fd) != 0) {
    return -1;
  }
  return 0;
}

// The quarantine holds nothing of the caller's (no payload, or the payload
// is durably back at its name) and the entry at the name is not the file
// the receipt names: there is nothing left to finish or to undo. A receipt
// kept would make every later recovery refuse again, and every later
// removal of the same file fail to create its quarantine (a content
// quarantine's name comes from the digest), so the receipt and the
// quarantine go, and nothing at the name is touched. A crash or power loss
// before the receipt's unlink is on disk leaves this same state, which the
// next call discards again; one before the quarantine's removal is on disk
// leaves an empty quarantine, which recovery removes; one after it leaves
// nothing. Reports ESTALE, or the error that stopped the discard, the
// quarantine then left for recovery.
int DiscardStaleQuarantine(int parent_fd, int quarantine_fd, const ByteString& quarantine_name) {
  if (DiscardQuarantine(parent_fd, quarantine_fd, quarantine_name) != 0) {
    return -1;
  }
  errno = ESTALE;
  return -1;
}

// The payload is in the quarantine. Deletes it if it is the file the receipt
// names; otherwise puts it back under its name, if that is free (EEXIST and
// no change if not), discards the quarantine and reports ESTALE, since
// deleting an unexpected file would lose data.
int SettlePayload(int parent_fd, int quarantine_fd, const ByteString& quarantine_name,
                  const RemovalReceipt& receipt, const struct stat& payload) {
  // The very file the caller asked to remove goes whoever holds its name
  // now: a new file published under the freed name (a content blob stored
  // again) must not keep the quarantine, and the caller's file in it, for
  // as long as it stands there.
  if (MatchesReceipt(payload, receipt)) {
    if (unlinkat(quarantine_fd, kPayloadName, 0) != 0 || OrderedSync(quarantine_fd) != 0) {
      return -1;
    }
    return DiscardQuarantine(parent_fd, quarantine_fd, quarantine_name);
  }
  struct stat entry;
  if (EntryStatus(parent_fd, receipt.name, &entry) == 0) {
    errno = EEXIST;  // something took the name meanwhile: change nothing
    return -1;
  }
  if (!IsAbsentEntry(errno)) {
    return -1;
  }
  // A failed move back keeps its own error number: the payload is still in
  // the quarantine, so this is no refusal but a state to recover (EEXIST
  // when the name was taken since the look above, as for a blocked name).
  if (renameatx_np(quarantine_fd, kPayloadName, parent_fd, receipt.name.c_str(), RENAME_EXCL) !=
      0) {
    return -1;
  }
  // The name is the destination: sync it first, so that a crash cannot leave
  // the file in neither directory. Only once both are synced may the receipt
  // go: a power loss that kept its removal but not the move back would leave
  // the payload in a quarantine without a receipt, which no recovery touches.
  if (SyncBoth(parent_fd, quarantine_fd) != 0) {
    return -1;
  }
  return DiscardStaleQuarantine(parent_fd, quarantine_fd, quarantine_name);
}

// Completes a removal from whatever state the quarantine is in: moves the
// file in if it is still at its name, deletes the payload if it matches,
// rolls back a payload that does not, and discards the quarantine at the
// end, also when it refuses a file that is not the receipt's (ESTALE).
// Nothing is deleted unless it matches the receipt exactly.
int FinishRemoval(int parent_fd, int quarantine_fd, const ByteString& quarantine_name,
                  const RemovalReceipt& receipt) {
  struct stat parent_status;
  if (StatusOf(parent_fd, &parent_status) != 0) {
    return -1;
  }
  if (!MatchesParent(parent_status, receipt.parentDevice, receipt.parentInode)) {
    errno = ESTALE;
    return -1;
  }
  struct stat payload;
  if (EntryStatus(quarantine_fd, kPayloadName, &payload) == 0) {
    return SettlePayload(parent_fd, quarantine_fd, quarantine_name, receipt, payload);
  }
  if (errno != ENOENT) {
    return -1;
  }
  struct stat entry;
  if (EntryStatus(parent_fd, receipt.name, &entry) != 0) {
    if (IsAbsentEntry(errno)) {
      return DiscardQuarantine(parent_fd, quarantine_fd, quarantine_name);
    }
    return -1;
  }
  if (!MatchesReceipt(entry, receipt)) {
    return DiscardStaleQuarantine(parent_fd, quarantine_fd, quarantine_name);
  }
  // Moving the file in under a fixed name (never replacing) makes the
  // removal resumable: after a crash past this point recovery finds the
  // payload and the receipt that says what it must be.
  if (renameatx_np(parent_fd, receipt.name.c_str(), quarantine_fd, kPayloadName, RENAME_EXCL) !=
          0 ||
      SyncBoth(quarantine_fd, parent_fd) != 0 ||
      EntryStatus(quarantine_fd, kPayloadName, &payload) != 0) {
    return -1;
  }
  return SettlePayload(parent_fd, quarantine_fd, quarantine_name, receipt, payload);
}

// The root and parent path that removal and recovery both take first. NUL
// bytes are refused: the system would see a shorter path than the one
// checked here.
bool ReadAnchorArguments(napi_env env, napi_value* args, ByteString* root,
                         ComponentList* components) {
  ByteString parent;
  return ReadString(env, args[0], root) && !root->empty() && !ContainsByte(*root, '\0') &&
         ReadString(env, args[1], &parent) && !ContainsByte(parent, '\0') &&
         SplitRelativePath(parent, components);
}

// A file name that a receipt line can hold: a simple name without the NUL
// the system would cut at, nor the CR and LF that would break the line.
bool ReadEntryName(napi_env env, napi_value value, ByteString* name) {
  return ReadString(env, value, name) && !ContainsByte(*name, '\0') &&
         !ContainsByte(*name, '\r') && !ContainsByte(*name, '\n') && IsSimpleName(*name);
}

// Recovery acts only on files in the namespace the script vouches for: a
// publication temporary in its content blob store directory, or exactly the
// file the script named. A receipt planted elsewhere cannot steer it.
bool WithinNamespace(const ComponentList& components, const RemovalReceipt& receipt,
                     bool content, const ByteString& expected_name) {
  if (content) {
    return receipt.name == expected_name;
  }
  return components.size() == 3 && components[0] == "content" && components[1] == "blobs" &&
         receipt.name.compare(0, 2, components[2]) == 0;
}

// The namespace line the receipt of a removal into this quarantine carries:
// a view of the name, valid as long as the name.
ByteView NamespaceLine(const ByteString& quarantine_name) {
  return IsContentRemovalDirectory(quarantine_name) ? ByteView(quarantine_name) : ByteView();
}

// Whether a removal into this quarantine could be finished by a recovery if
// it stopped half-way. A publication recovery takes only a publication
// temporary in its blob store directory, so any other file moved into a
// publication quarantine would be stranded there, gone from its name, for
// good. A receipt longer than any reader accepts strands it just the same,
// and a file named like the quarantine would be found in its own place.
bool IsRecoverableRemoval(const ComponentList& components, const RemovalReceipt& receipt,
                          const ByteString& quarantine_name) {
  ByteString text;
  if (receipt.name == quarantine_name || !Allocating([&] {
        text = ReceiptText(receipt, NamespaceLine(quarantine_name));
        return true;
      }) ||
      text.size() > kMaxReceiptSize) {
    return false;
  }
  if (IsContentRemovalDirectory(quarantine_name)) {
    return true;
  }
  return IsRemovalDirectory(quarantine_name) && IsPublicationTemporary(receipt.name) &&
         WithinNamespace(components, receipt, false, ByteString());
}

bool ReadRemovalArguments(napi_env env, napi_value* args, ByteString* root,
                          ComponentList* components, RemovalReceipt* receipt,
                          ByteString* quarantine_name) {
  return ReadAnchorArguments(env, args, root, components) &&
         ReadEntryName(env, args[2], &receipt->name) &&
         ReadUnsigned64(env, args[3], &receipt->parentDevice) &&
         ReadUnsigned64(env, args[4], &receipt->parentInode) &&
         ReadUnsigned64(env, args[5], &receipt->device) &&
         ReadUnsigned64(env, args[6], &receipt->inode) &&
         ReadUnsigned64(env, args[7], &receipt->size) &&
         ReadBigInt(env, args[8], napi_get_value_bigint_int64, &receipt->modifiedNs) &&
         ReadString(env, args[9], quarantine_name) &&
         IsRecoverableRemoval(*components, *receipt, *quarantine_name);
}

// Receipt written and synced, quarantine and parent synced, then the
// removal proper. Returns -1 with errno set from the first failing step.
int RecordAndFinishRemoval(int parent_fd, int quarantine_fd, const ByteString& quarantine_name,
                           const RemovalReceipt& receipt) {
  const ByteView namespace_line = NamespaceLine(quarantine_name);
  // Without these syncs a power failure could leave the file moved into a
  // quarantine whose receipt or whose own directory entry never reached the
  // disk, and recovery could not tell what the payload was meant to be.
  if (WriteRemovalReceipt(quarantine_fd, receipt, namespace_line) != 0 ||
      SyncBoth(quarantine_fd, parent_fd) != 0) {
    return -1;
  }
  return FinishRemoval(parent_fd, quarantine_fd, quarantine_name, receipt);
}

napi_value RemoveAnchoredFile(napi_env env, napi_callback_info info) {
  napi_value args[10] = {};
  size_t count = 0;
  ByteString root;
  ComponentList components;
  RemovalReceipt receipt;
  ByteString quarantine_name;
  errno = 0;
  const bool valid =
      TakeArguments(env, info, 10, args, &count) && count == 10 &&
      ReadRemovalArguments(env, args, &root, &components, &receipt, &quarantine_name);
  const int intake_errno = errno;
  if (!valid) {
    ThrowError(env, kRemovalInvalid, IntakeErrorCode(intake_errno));
    return nullptr;
  }

  const int parent_fd =
      OpenRemovalParent(root, components, receipt.parentDevice, receipt.parentInode);
  if (parent_fd < 0) {
    const int saved_errno = errno;
    ThrowError(env, "Could not anchor removal parent.", PosixErrorCode(saved_errno));
    return nullptr;
  }
  if (mkdirat(parent_fd, quarantine_name.c_str(), 0700) != 0) {
    const int saved_errno = errno;
    close(parent_fd);
    ThrowError(env, "Could not create removal quarantine.", PosixErrorCode(saved_errno));
    return nullptr;
  }
  const int quarantine_fd = OpenRemovalQuarantine(parent_fd, quarantine_name);
  if (quarantine_fd < 0) {
    const int saved_errno = errno;
    close(parent_fd);
    ThrowError(env, "Unsafe removal quarantine.", PosixErrorCode(saved_errno));
    return nullptr;
  }

  const int result = RecordAndFinishRemoval(parent_fd, quarantine_fd, quarantine_name, receipt);
  const int saved_errno = errno;
  close(quarantine_fd);  // releases the lock
  close(parent_fd);
  if (result != 0) {
    ThrowRequiresRecovery(env, quarantine_name, PosixErrorCode(saved_errno));
    return nullptr;
  }
  return Undefined(env);
}

// ---------------------------------------------------------------------------
// Removal recovery

bool ReadRecoveryArguments(napi_env env, napi_value* args, size_t count, ByteString* root,
                           ComponentList* components, ByteString* quarantine_name,
                           uint64_t* parent_device, uint64_t* parent_inode,
                           ByteString* expected_name) {
  if (!ReadAnchorArguments(env, args, root, components)) {
    return false;
  }
  const bool content = count == 6;
  if (!ReadString(env, args[2], quarantine_name) ||
      !(content ? IsContentRemovalDirectory(*quarantine_name)
                : IsRemovalDirectory(*quarantine_name))) {
    return false;
  }
  if (!ReadUnsigned64(env, args[3], parent_device) ||
      !ReadUnsigned64(env, args[4], parent_inode)) {
    return false;
  }
  if (!content) {
    return true;
  }
  return ReadEntryName(env, args[5], expected_name);
}

// Makes a receipt that recovery found durable before anything relies on it:
// the file, then its entry in the quarantine, then the quarantine's entry in
// the parent. A removal that stopped before its own syncs succeeded (the
// process died after writing the receipt, or the sync failed with EIO or
// ENOSPC and the caller ran recovery as told) may have left all three only
// in the cache; a power loss after recovery moved the file in would then
// keep the rename and tear or drop the receipt, or the quarantine itself,
// stranding the file where no recovery can finish it. The quarantine is
// 0700 and locked, so the receipt opened here is the one just read.
int SyncReceipt(int parent_fd, int quarantine_fd) {
  const int fd = openat(quarantine_fd, kReceiptName, kReceiptReadFlags);
  if (fd < 0) {
    return -1;
  }
  const int result = OrderedSync(fd);
  const int saved_errno = errno;
  close(fd);
  if (result != 0) {
    errno = saved_errno;
    return -1;
  }
  return SyncBoth(quarantine_fd, parent_fd);
}

// Works on an open, locked quarantine. Throws and returns false on failure.
bool RecoverQuarantine(napi_env env, int parent_fd, int quarantine_fd,
                       const ByteString& quarantine_name, const ComponentList& components,
                       bool content, const ByteString& expected_name) {
  RemovalReceipt receipt;
  const ByteView namespace_line = content ? ByteView(quarantine_name) : ByteView();
  if (ReadRemovalReceipt(quarantine_fd, &receipt, namespace_line) != 0) {
    const int read_errno = errno;
    if (read_errno != ENOENT) {
      ThrowError(env, "Unrecognized publication recovery receipt.", PosixErrorCode(read_errno));
      return false;
    }
    // No receipt: the removal never got as far as recording anything, so the
    // quarantine holds nothing of value. rmdir refuses if it holds entries.
    if (unlinkat(parent_fd, quarantine_name.c_str(), AT_REMOVEDIR) != 0) {
      const int saved_errno = errno;
      ThrowError(env, "Unrecognized publication recovery receipt.", PosixErrorCode(saved_errno));
      return false;
    }
    if (OrderedSync(parent_fd) != 0) {
      const int saved_errno = errno;
      ThrowError(env, "Could not sync recovery directory.", PosixErrorCode(saved_errno));
      return false;
    }
    return true;
  }
  if (!WithinNamespace(components, receipt, content, expected_name)) {
    ThrowError(env, "Recovery receipt is outside the publication namespace.", "EINVAL");
    return false;
  }
  if (SyncReceipt(parent_fd, quarantine_fd) != 0) {
    const int saved_errno = errno;
    ThrowRequiresRecovery(env, quarantine_name, PosixErrorCode(saved_errno));
    return false;
  }
  if (FinishRemoval(parent_fd, quarantine_fd, quarantine_name, receipt) != 0) {
    const int saved_errno = errno;
    ThrowRequiresRecovery(env, quarantine_name, PosixErrorCode(saved_errno));
    return false;
  }
  return true;
}

napi_value RecoverAnchoredRemoval(napi_env env, napi_callback_info info) {
  napi_value args[6] = {};
  size_t count = 0;
  ByteString root;
  ComponentList components;
  ByteString quarantine_name;
  uint64_t parent_device = 0;
  uint64_t parent_inode = 0;
  ByteString expected_name;
  errno = 0;
  const bool valid = TakeArguments(env, info, 6, args, &count) && (count == 5 || count == 6) &&
                     ReadRecoveryArguments(env, args, count, &root, &components, &quarantine_name,
                                           &parent_device, &parent_inode, &expected_name);
  const int intake_errno = errno;
  if (!valid) {
    ThrowError(env, kRecoveryInvalid, IntakeErrorCode(intake_errno));
    return nullptr;
  }
  const bool content = count == 6;

  const int parent_fd = OpenRemovalParent(root, components, parent_device, parent_inode);
  if (parent_fd < 0) {
    const int saved_errno = errno;
    ThrowError(env, "Could not anchor recovery parent.", PosixErrorCode(saved_errno));
    return nullptr;
  }
  const int quarantine_fd = OpenRemovalQuarantine(parent_fd, quarantine_name);
  if (quarantine_fd < 0) {
    const int saved_errno = errno;
    close(parent_fd);
    ThrowError(env, "Unsafe recovery quarantine.", PosixErrorCode(saved_errno));
    return nullptr;
  }
  const bool recovered = RecoverQuarantine(env, parent_fd, quarantine_fd, quarantine_name,
                                           components, content, expected_name);
  close(quarantine_fd);  // releases the lock
  close(parent_fd);
  if (!recovered) {
    return nullptr;
  }
  return Undefined(env);
}

// ---------------------------------------------------------------------------
// Registration

struct ExportedFunction {
  const char* name;
  napi_callback callback;
};

constexpr ExportedFunction kExports[] = {
    {"publishNoReplace", PublishNoReplace},
    {"inspectPath", InspectPath},
    {"removeAnchoredFile", RemoveAnchoredFile},
    {"recoverAnchoredRemoval", RecoverAnchoredRemoval},
};

}  // namespace

extern "C" NAPI_MODULE_EXPORT int32_t node_api_module_get_api_version_v1(void) {
  return NAPI_VERSION;
}

extern "C" NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env,
                                                                 napi_value exports) {
  for (const ExportedFunction& exported : kExports) {
    napi_value function = nullptr;
    napi_create_function(env, exported.name, NAPI_AUTO_LENGTH, exported.callback, nullptr,
                         &function);
    napi_set_named_property(env, exports, exported.name, function);
  }
  return exports;
}
