// Keychain files and the user's lists of the keychain stand-in.
//
// A keychain file is text: a first line "standin-keychain 1", a line
// "password HEX", then one line "item HEX HEX HEX" per generic password
// (service, account, data). There is no encryption: the stand-in only
// models which operations succeed, not how a secret is protected.
//
// Beside the keychains, in $HOME/Library/Keychains, live ".search-list",
// ".default-keychain" and ".unlocked" (absolute paths, one per line) and
// ".lock", which serialises every change.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "standin_internal.h"

namespace standin {
namespace {

const char kMagicLine[] = "standin-keychain 1";

// No keychain or list file is read past this size. A keychain grown huge,
// or a list that links to /dev/zero, would otherwise be read until the
// allocator gives up; past it the read fails with errSecDataTooLarge.
constexpr size_t kMaxFileBytes = 16 * 1024 * 1024;
constexpr size_t kReadChunkBytes = 65536;

// Closes the descriptor it holds when it goes out of scope, so that a read
// cut short by a thrown allocation failure does not leak it.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

template <typename Bytes>
std::string ToHex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2 + 1);
  for (unsigned char byte : bytes) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0x0F]);
  }
  // An empty field is written as "-" so that every line keeps its fields.
  return hex.empty() ? std::string("-") : hex;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

template <typename Bytes>
bool FromHex(const std::string& hex, Bytes* bytes) {
  bytes->clear();
  if (hex == "-") {
    return true;
  }
  if (hex.empty() || hex.size() % 2 != 0) {
    return false;
  }
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]);
    const int low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) {
      return false;
    }
    bytes->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

std::string Serialize(const StoredKeychain& keychain) {
  std::string text = std::string(kMagicLine) + "\npassword " + ToHex(keychain.password) + "\n";
  for (const StoredItem& item : keychain.items) {
    text += "item " + ToHex(item.service) + " " + ToHex(item.account) + " " + ToHex(item.data) +
            "\n";
  }
  return text;
}

// The next line of text from *position on, without its "\n"; false at the
// end of text. The standard streams are not used to split: std::getline
// swallows an allocation failure as the end of input, which read a keychain
// under a memory limit as one with its later items missing, and the next
// add then wrote it back without them.
bool NextLine(const std::string& text, size_t* position, std::string* line) {
  if (*position >= text.size()) {
    return false;
  }
  const size_t newline = text.find('\n', *position);
  const size_t end = newline == std::string::npos ? text.size() : newline;
  line->assign(text, *position, end - *position);
  *position = newline == std::string::npos ? end : end + 1;
  return true;
}

// The words of line, split at runs of white space.
std::vector<std::string> Words(const std::string& line) {
  static const char kBlanks[] = " \t\r\v\f";
  std::vector<std::string> words;
  size_t start = line.find_first_not_of(kBlanks);
  while (start != std::string::npos) {
    const size_t end = line.find_first_of(kBlanks, start);
    words.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
    start = end == std::string::npos ? end : line.find_first_not_of(kBlanks, end);
  }
  return words;
}

bool Parse(const std::string& text, StoredKeychain* keychain) {
  size_t position = 0;
  std::string line;
  if (!NextLine(text, &position, &line) || line != kMagicLine) {
    return false;
  }
  if (!NextLine(text, &position, &line)) {
    return false;
  }
  std::vector<std::string> words = Words(line);
  if (words.size() < 2 || words[0] != "password" || !FromHex(words[1], &keychain->password)) {
    return false;
  }
  keychain->items.clear();
  while (NextLine(text, &position, &line)) {
    words = Words(line);
    StoredItem item;
    if (words.size() < 4 || words[0] != "item" || !FromHex(words[1], &item.service) ||
        !FromHex(words[2], &item.account) || !FromHex(words[3], &item.data)) {
      return false;
    }
    keychain->items.push_back(std::move(item));
  }
  return true;
}

OSStatus StatusFromErrno(int error) {
  if (error == ENOENT || error == ENOTDIR) return errSecNoSuchKeychain;
  if (error == EACCES || error == EPERM) return errSecAuthFailed;
  if (error == ENOMEM) return errSecAllocate;
  if (error == EFBIG) return errSecDataTooLarge;
  return errSecIO;
}

// Writes all of text to fd, retrying short writes and EINTR here only.
bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0) {
      return false;
    }
    if (written == 0) {
      errno = EIO;  // no progress and no error number: never report a stale one
      return false;
    }
    done += static_cast<size_t>(written);
  }
  return true;
}

// Reads to the end of fd, at most kMaxFileBytes; EFBIG past that. The size
// is checked as the bytes arrive, not only from fstat, since a device or a
// FIFO reports none.
bool ReadAll(int fd, std::string* text) {
  struct stat info;
  if (fstat(fd, &info) != 0) {
    return false;
  }
  if (S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) > kMaxFileBytes) {
    errno = EFBIG;
    return false;
  }
  if (S_ISREG(info.st_mode)) {
    text->reserve(static_cast<size_t>(info.st_size));
  }
  // On the heap: 64 KiB of stack made a small stack limit kill keyfetch by
  // SIGSEGV after it had read the key, before it could wipe it.
  const std::unique_ptr<char[]> buffer(new (std::nothrow) char[kReadChunkBytes]);
  if (buffer == nullptr) {
    errno = ENOMEM;
    return false;
  }
  for (;;) {
    const ssize_t got = read(fd, buffer.get(), kReadChunkBytes);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return false;
    }
    if (got == 0) {
      return true;
    }
    if (text->size() + static_cast<size_t>(got) > kMaxFileBytes) {
      errno = EFBIG;
      return false;
    }
    text->append(buffer.get(), static_cast<size_t>(got));
  }
}

bool MakeDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
    const std::string prefix = slash == std::string::npos ? path : path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      return false;
    }
    if (slash == std::string::npos) {
      return true;
    }
  }
}

// A name beside path that no other process can guess, so that nobody can
// plant a link or a file there ahead of us.
bool TemporaryName(const std::string& path, std::string* temporary) {
  unsigned char random[12];
  size_t filled = 0;
  while (filled < sizeof random) {
    const ssize_t got = getrandom(random + filled, sizeof random - filled, 0);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return false;
    }
    filled += static_cast<size_t>(got);
  }
  *temporary = path + ".tmp." + ToHex(std::string(reinterpret_cast<char*>(random), sizeof random));
  return true;
}

// Creates a new file under an unguessable name beside path: exclusively and
// without following a link, so that a link planted there cannot send every
// secret of the keychain to a file of the planter's choice, and a file left
// by someone else is never reused. Returns the descriptor, or -1 with errno.
int CreateTemporary(const std::string& path, std::string* temporary) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (!TemporaryName(path, temporary)) {
      return -1;
    }
    const int fd = open(temporary->c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  errno = EEXIST;
  return -1;
}

// True for the suffix of a temporary name: exactly the 24 lowercase hex
// digits TemporaryName makes. Nothing else is taken for one: a keychain
// named "archive.keychain.tmp.2024" (the process-number form of older
// builds) would otherwise be deleted, with all its items, by the next
// change to "archive.keychain".
bool IsTemporarySuffix(const char* suffix) {
  const size_t length = strlen(suffix);
  return length == 24 && strspn(suffix, "0123456789abcdef") == length;
}

// A crash between writing a temporary and publishing it leaves the
// temporary behind, with every secret of the keychain in it. Every write
// runs under the directory lock, so a temporary of this file that exists
// now belongs to no live writer and is removed (a link planted there goes
// too, never its target). Best effort: a failure here never stops a write.
// No allocation once the directory is open, so nothing can throw with it
// held.
void RemoveStaleTemporaries(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return;
  }
  const std::string directory = slash == 0 ? std::string("/") : path.substr(0, slash);
  const std::string prefix = path.substr(slash + 1) + ".tmp.";
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) {
    return;
  }
  while (const struct dirent* entry = readdir(listing)) {
    if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0 &&
        IsTemporarySuffix(entry->d_name + prefix.size())) {
      unlinkat(dirfd(listing), entry->d_name, 0);
    }
  }
  closedir(listing);
}

// Writes a new file beside path and returns its name, synced and with the
// given mode, so that a rename or link publishes it whole: a crash before
// the publication leaves the old file (or none), never a torn one. On
// failure nothing is left behind: the temporary holds every secret of the
// keychain and must not outlive the call that made it.
OSStatus WriteTemporary(const std::string& path, const std::string& text, mode_t mode,
                        std::string* temporary) {
  RemoveStaleTemporaries(path);
  const int fd = CreateTemporary(path, temporary);
  if (fd < 0) {
    return StatusFromErrno(errno);
  }
  bool ok = WriteAll(fd, text) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
  int saved = errno;
  // A failing close may be the first word of a lost write; an earlier
  // failure keeps its own error number.
  if (close(fd) != 0 && ok) {
    saved = errno;
    ok = false;
  }
  if (!ok) {
    unlink(temporary->c_str());
    return StatusFromErrno(saved);
  }
  return errSecSuccess;
}

// Replaces path with a file holding text, in the given mode, through a
// synced temporary beside it: a crash at any point leaves either the old
// file or the new one whole.
OSStatus ReplaceFile(const std::string& path, const std::string& text, mode_t mode) {
  std::string temporary;
  const OSStatus status = WriteTemporary(path, text, mode, &temporary);
  if (status != errSecSuccess) {
    return status;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    unlink(temporary.c_str());
    return StatusFromErrno(saved);
  }
  return errSecSuccess;
}

// Reads the whole file; on failure *error is the failing call's errno.
bool ReadFile(const std::string& path, std::string* text, int* error) {
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    *error = errno;
    return false;
  }
  const bool ok = ReadAll(fd.get(), text);
  *error = errno;
  return ok;
}

std::string ListFile(const char* name) {
  std::string directory;
  if (!KeychainDirectory(&directory)) {
    return std::string();
  }
  return directory + "/." + name;
}

}  // namespace

bool KeychainDirectory(std::string* directory) {
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    return false;
  }
  std::string path(home);
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  *directory = (path == "/" ? std::string() : path) + "/Library/Keychains";
  return true;
}

bool ResolveKeychainPath(const std::string& name, std::string* path) {
  if (name.empty() || name.find('\n') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    return false;
  }
  if (name[0] == '/') {
    *path = name;
    return true;
  }
  std::string directory;
  if (!KeychainDirectory(&directory)) {
    return false;
  }
  *path = directory + "/" + name;
  return true;
}

DirectoryLock::DirectoryLock() {
  std::string directory;
  if (!KeychainDirectory(&directory)) {
    status_ = errSecNoSuchKeychain;
    return;
  }
  if (!MakeDirectories(directory)) {
    status_ = StatusFromErrno(errno);
    return;
  }
  fd_ = open((directory + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    status_ = StatusFromErrno(errno);
    return;
  }
  while (flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      status_ = StatusFromErrno(errno);
      return;
    }
  }
}

DirectoryLock::~DirectoryLock() {
  if (fd_ >= 0) {
    close(fd_);  // closing drops the lock
  }
}

OSStatus KeychainStatusWord(const std::string& path, SecKeychainStatus* status) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    return StatusFromErrno(errno);
  }
  if (!S_ISREG(info.st_mode)) {
    return errSecNoSuchKeychain;
  }
  std::vector<std::string> unlocked;
  const OSStatus read_status = ReadPathList("unlocked", &unlocked);
  if (read_status != errSecSuccess) {
    return read_status;
  }
  SecKeychainStatus word = 0;
  for (const std::string& entry : unlocked) {
    if (entry == path) {
      word |= kSecUnlockStateStatus;
    }
  }
  // Judged by the owner bits, not by access(): root may open any file, and
  // a keychain its owner made unreadable must still count as unreadable.
  if ((info.st_mode & S_IRUSR) != 0) word |= kSecReadPermStatus;
  if ((info.st_mode & S_IWUSR) != 0) word |= kSecWritePermStatus;
  *status = word;
  return errSecSuccess;
}

OSStatus ReadKeychainFile(const std::string& path, StoredKeychain* keychain) {
  std::string text;
  int error = 0;
  if (!ReadFile(path, &text, &error)) {
    return StatusFromErrno(error);
  }
  return Parse(text, keychain) ? errSecSuccess : errSecIO;
}

OSStatus RewriteKeychainFile(const std::string& path, const StoredKeychain& keychain) {
  // A keychain that is a symbolic link (to a file on another volume, say)
  // is rewritten where the link points: renaming over the link itself
  // would replace the link by a copy and leave the real file stale.
  const std::unique_ptr<char, void (*)(void*)> resolved(realpath(path.c_str(), nullptr), free);
  if (resolved == nullptr) {
    return StatusFromErrno(errno);
  }
  const std::string target(resolved.get());
  struct stat info;
  if (stat(target.c_str(), &info) != 0) {
    return StatusFromErrno(errno);
  }
  return ReplaceFile(target, Serialize(keychain), info.st_mode & 07777);
}

OSStatus CreateKeychainFile(const std::string& path, const StoredKeychain& keychain) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash))) {
    return StatusFromErrno(errno);
  }
  std::string temporary;
  const OSStatus status = WriteTemporary(path, Serialize(keychain), 0600, &temporary);
  if (status != errSecSuccess) {
    return status;
  }
  // link fails when the name exists, so an existing keychain is never
  // replaced, even by a creator that does not hold the directory lock.
  const int linked = link(temporary.c_str(), path.c_str());
  const int saved = errno;
  unlink(temporary.c_str());
  if (linked != 0) {
    return saved == EEXIST ? errSecDuplicateKeychain : StatusFromErrno(saved);
  }
  return errSecSuccess;
}

OSStatus ReadPathList(const char* name, std::vector<std::string>* paths) {
  paths->clear();
  const std::string file = ListFile(name);
  if (file.empty()) {
    return errSecNoSuchKeychain;
  }
  std::string text;
  int error = 0;
  if (!ReadFile(file, &text, &error)) {
    // A list never written yet is an empty one.
    return error == ENOENT || error == ENOTDIR ? errSecSuccess : StatusFromErrno(error);
  }
  size_t position = 0;
  std::string line;
  while (NextLine(text, &position, &line)) {
    if (line.empty()) {
      continue;
    }
    // A relative entry (written by hand, or by an older tool) names a
    // keychain in the keychain directory, as it does on macOS; taken as it
    // is, it would name a file below whatever the working directory is.
    std::string path;
    if (!ResolveKeychainPath(line, &path)) {
      return errSecIO;  // a NUL byte: no keychain has such a name
    }
    paths->push_back(path);
  }
  return errSecSuccess;
}

OSStatus WritePathList(const char* name, const std::vector<std::string>& paths) {
  const std::string file = ListFile(name);
  if (file.empty()) {
    return errSecNoSuchKeychain;
  }
  std::string text;
  for (const std::string& path : paths) {
    text += path + "\n";
  }
  return ReplaceFile(file, text, 0600);
}

}  // namespace standin
