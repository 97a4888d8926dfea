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
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "standin_internal.h"

namespace standin {
namespace {

const char kMagicLine[] = "standin-keychain 1";

std::string ToHex(const std::string& bytes) {
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

bool FromHex(const std::string& hex, std::string* bytes) {
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

bool Parse(const std::string& text, StoredKeychain* keychain) {
  std::istringstream lines(text);
  std::string line;
  if (!std::getline(lines, line) || line != kMagicLine) {
    return false;
  }
  std::string word;
  std::string hex;
  if (!std::getline(lines, line)) {
    return false;
  }
  std::istringstream password_line(line);
  if (!(password_line >> word >> hex) || word != "password" ||
      !FromHex(hex, &keychain->password)) {
    return false;
  }
  keychain->items.clear();
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string service;
    std::string account;
    std::string data;
    StoredItem item;
    if (!(fields >> word >> service >> account >> data) || word != "item" ||
        !FromHex(service, &item.service) || !FromHex(account, &item.account) ||
        !FromHex(data, &item.data)) {
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

bool ReadAll(int fd, std::string* text) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return false;
    }
    if (got == 0) {
      return true;
    }
    text->append(buffer, static_cast<size_t>(got));
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

// Writes a new file beside path and returns its name, synced and with the
// given mode, so that a rename or link publishes it whole: a crash before
// the publication leaves the old file (or none), never a torn one.
OSStatus WriteTemporary(const std::string& path, const std::string& text, mode_t mode,
                        std::string* temporary) {
  *temporary = path + ".tmp." + std::to_string(getpid());
  const int fd = open(temporary->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
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
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  const bool ok = ReadAll(fd, text);
  *error = errno;
  close(fd);
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
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    return StatusFromErrno(errno);
  }
  return ReplaceFile(path, Serialize(keychain), info.st_mode & 07777);
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
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty()) {
      paths->push_back(line);
    }
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
