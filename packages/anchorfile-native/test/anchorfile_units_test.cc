// Unit tests of the add-on's pure rules, of the receipt writer and reader,
// and of every exported function when an allocation fails, compiled
// together with the add-on's source unit so that its internal functions are
// reachable. A small fake host below stands in for Node-API: it hands the
// callbacks their arguments and records the error they throw.
#include "../src/anchorfile.cc"

#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>

#include <functional>

// ---- allocation failure on demand ----

// The n-th allocation from now fails (0 is the next one); -1 disarms.
long allocations_until_failure = -1;
bool allocation_failed = false;

void* operator new(size_t size) {
  if (allocations_until_failure >= 0 && allocations_until_failure-- == 0) {
    allocation_failed = true;
    throw std::bad_alloc();
  }
  void* memory = malloc(size == 0 ? 1 : size);
  if (memory == nullptr) {
    throw std::bad_alloc();
  }
  return memory;
}

// Not inlined: the compiler would see free() of memory from operator new.
__attribute__((noinline)) void operator delete(void* memory) noexcept {
  free(memory);
}

__attribute__((noinline)) void operator delete(void* memory, size_t) noexcept {
  free(memory);
}

// ---- the fake host ----

// Every napi_value the fake hands out or takes points at one of these.
struct napi_value__ {
  enum Kind { kString, kBigInt, kOther } kind = kOther;
  std::string_view text;  // a string's bytes, owned by whoever made it
  uint64_t number = 0;    // a BigInt's value
};

// What a callback is called with: napi_callback_info points at one.
struct FakeCall {
  std::vector<napi_value__> args;
};

// The error a callback threw, copied into fixed storage so that recording
// it allocates nothing.
struct Thrown {
  bool thrown = false;
  char message[256] = {};
  char code[16] = {};
};

Thrown thrown;
napi_value__ error_value;
napi_value__ other_value;
char created_text[4][256];
napi_value__ created_values[4];
int next_created = 0;

void CopyText(std::string_view text, char* out, size_t capacity) {
  const size_t size = text.size() < capacity - 1 ? text.size() : capacity - 1;
  memcpy(out, text.data(), size);
  out[size] = '\0';
}

extern "C" {
napi_status napi_create_string_utf8(napi_env, const char* text, size_t length, napi_value* result) {
  const int slot = next_created++ % 4;
  const std::string_view view(text, length == NAPI_AUTO_LENGTH ? strlen(text) : length);
  CopyText(view, created_text[slot], sizeof created_text[slot]);
  created_values[slot].kind = napi_value__::kString;
  created_values[slot].text = created_text[slot];
  *result = &created_values[slot];
  return napi_ok;
}
napi_status napi_create_error(napi_env, napi_value, napi_value message, napi_value* result) {
  CopyText(message->text, thrown.message, sizeof thrown.message);
  *result = &error_value;
  return napi_ok;
}
napi_status napi_set_named_property(napi_env, napi_value object, const char* name, napi_value value) {
  if (object == &error_value && strcmp(name, "code") == 0) {
    CopyText(value->text, thrown.code, sizeof thrown.code);
  }
  return napi_ok;
}
napi_status napi_throw(napi_env, napi_value error) {
  thrown.thrown = error == &error_value;
  return napi_ok;
}
napi_status napi_get_cb_info(napi_env, napi_callback_info info, size_t* argc, napi_value* argv, napi_value*, void**) {
  auto* call = reinterpret_cast<FakeCall*>(info);
  for (size_t i = 0; i < *argc; ++i) {
    argv[i] = i < call->args.size() ? &call->args[i] : &other_value;
  }
  *argc = call->args.size();
  return napi_ok;
}
napi_status napi_get_value_string_utf8(napi_env, napi_value value, char* buffer, size_t size, size_t* result) {
  if (value->kind != napi_value__::kString) {
    return napi_string_expected;
  }
  if (buffer == nullptr) {
    *result = value->text.size();
    return napi_ok;
  }
  const size_t copied = value->text.size() < size - 1 ? value->text.size() : size - 1;
  memcpy(buffer, value->text.data(), copied);
  buffer[copied] = '\0';
  *result = copied;
  return napi_ok;
}
napi_status napi_get_value_bigint_uint64(napi_env, napi_value value, uint64_t* result, bool* lossless) {
  if (value->kind != napi_value__::kBigInt) {
    return napi_bigint_expected;
  }
  *result = value->number;
  *lossless = true;
  return napi_ok;
}
napi_status napi_get_value_bigint_int64(napi_env, napi_value value, int64_t* result, bool* lossless) {
  if (value->kind != napi_value__::kBigInt) {
    return napi_bigint_expected;
  }
  *result = static_cast<int64_t>(value->number);
  *lossless = true;
  return napi_ok;
}
napi_status napi_get_undefined(napi_env, napi_value* result) { *result = &other_value; return napi_ok; }
napi_status napi_create_object(napi_env, napi_value* result) { *result = &other_value; return napi_ok; }
napi_status napi_get_boolean(napi_env, bool, napi_value* result) { *result = &other_value; return napi_ok; }
napi_status napi_create_function(napi_env, const char*, size_t, napi_callback, void*, napi_value*) { return napi_generic_failure; }
}

namespace {

TEST(PosixErrorCode, MapsEveryNamedNumberAndFallsBackToEio) {
  const std::vector<std::pair<int, const char*>> cases = {
      {EPERM, "EPERM"},     {EACCES, "EPERM"},   {ENOENT, "ENOENT"}, {EEXIST, "EEXIST"},
      {ENOTEMPTY, "EEXIST"}, {EXDEV, "EXDEV"},   {EINVAL, "EINVAL"}, {ENOTSUP, "ENOTSUP"},
      {ENOSYS, "ENOTSUP"},  {ELOOP, "ELOOP"},    {ESTALE, "ESTALE"}, {0, "EIO"},
      {ENOTDIR, "EIO"},     {ENAMETOOLONG, "EIO"}, {ENOSPC, "EIO"},
  };
  for (const auto& [number, code] : cases) {
    EXPECT_STREQ(PosixErrorCode(number), code) << number;
  }
}

TEST(PathRules, SplitRelativePathTable) {
  struct Case {
    std::string input;
    bool ok;
    std::vector<std::string> components;
  };
  const std::vector<Case> cases = {
      {"", true, {}},
      {"a", true, {"a"}},
      {"one/two/three", true, {"one", "two", "three"}},
      {".config/app data", true, {".config", "app data"}},
      {".../x", true, {"...", "x"}},
      {std::string("a\0b/c", 5), true, {std::string("a\0b", 3), "c"}},
      {"a/", false, {}},
      {"/a", false, {}},
      {"a//b", false, {}},
      {"./a", false, {}},
      {"a/./b", false, {}},
      {"a/../b", false, {}},
      {"..", false, {}},
      {"a\\b", false, {}},
  };
  for (const Case& c : cases) {
    ComponentList components;
    EXPECT_EQ(SplitRelativePath(c.input, &components), c.ok) << c.input;
    if (c.ok) {
      EXPECT_EQ(components, c.components) << c.input;
    }
  }
}

TEST(NameRules, QuarantineAndTemporaryNames) {
  const std::string uuid = "123e4567-e89b-42d3-a456-426614174000";
  const std::string hex64(64, 'a');
  EXPECT_TRUE(IsRemovalDirectory(".publication-recovery-" + uuid));
  for (const std::string& id : std::vector<std::string>{
           "123E4567-e89b-42d3-a456-426614174000", "123e4567-e89b-12d3-a456-426614174000",
           "123e4567-e89b-42d3-c456-426614174000", "123e4567_e89b-42d3-a456-426614174000", uuid + "0"}) {
    EXPECT_FALSE(IsRemovalDirectory(".publication-recovery-" + id)) << id;
  }
  EXPECT_TRUE(IsContentRemovalDirectory(".content-recovery-" + hex64));
  for (const std::string& hex : {std::string(63, 'a'), std::string(65, 'a'), std::string(64, 'A'),
                                 std::string(63, 'a') + "g"}) {
    EXPECT_FALSE(IsContentRemovalDirectory(".content-recovery-" + hex)) << hex;
  }
  EXPECT_TRUE(IsPublicationTemporary(hex64 + "." + uuid + ".tmp"));
  for (const std::string& name : {hex64 + "." + uuid + ".TMP", hex64 + "_" + uuid + ".tmp",
                                  std::string(63, 'a') + "g." + uuid + ".tmp",
                                  hex64 + ".123e4567-e89b-52d3-a456-426614174000.tmp"}) {
    EXPECT_FALSE(IsPublicationTemporary(name)) << name;
  }
}

bool ParseUnsigned(const std::string& text, uint64_t* value) {
  LineReader reader{text, 0};
  return ReadRemovalNumber(&reader, value);
}

bool ParseSigned(const std::string& text, int64_t* value) {
  LineReader reader{text, 0};
  return ReadRemovalNumber(&reader, value);
}

TEST(ReadRemovalNumber, CanonicalDecimalOnly) {
  uint64_t u = 7;
  int64_t s = 7;
  EXPECT_TRUE(ParseUnsigned("0", &u));
  EXPECT_EQ(u, 0u);
  EXPECT_TRUE(ParseUnsigned("18446744073709551615\n", &u));
  EXPECT_EQ(u, UINT64_MAX);
  EXPECT_TRUE(ParseSigned("-9223372036854775808", &s));
  EXPECT_EQ(s, INT64_MIN);
  EXPECT_TRUE(ParseSigned("9223372036854775807", &s));
  EXPECT_EQ(s, INT64_MAX);
  EXPECT_TRUE(ParseSigned("-5", &s));
  EXPECT_EQ(s, -5);
  for (const char* bad : {"", "\n", "00", "01", "+1", " 1", "1 ", "1\r", "-1", "18446744073709551616",
                          "99999999999999999999", "1a"}) {
    uint64_t value = 42;
    EXPECT_FALSE(ParseUnsigned(bad, &value)) << bad;
    EXPECT_EQ(value, 42u) << bad;
  }
  for (const char* bad : {"-0", "-", "--1", "-01", "+1", "9223372036854775808", "-9223372036854775809"}) {
    int64_t value = 42;
    EXPECT_FALSE(ParseSigned(bad, &value)) << bad;
  }
}

class ReceiptFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/anchorfile-units-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fd_ = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    close(fd_);
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  // Plain POSIX reads: the platform header redirects `open`, which would
  // also rename the member functions of the standard stream classes.
  std::string Contents() {
    std::string data;
    const int fd = openat(fd_, "receipt", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      return data;
    }
    char buffer[8192];
    const ssize_t count = read(fd, buffer, sizeof(buffer));
    close(fd);
    if (count > 0) {
      data.assign(buffer, static_cast<size_t>(count));
    }
    return data;
  }
  std::string dir_;
  int fd_ = -1;
};

RemovalReceipt SampleReceipt(const std::string& name) {
  RemovalReceipt receipt;
  receipt.name = name;
  receipt.parentDevice = 18446744071562067968u;  // a sign-extended 32-bit device
  receipt.parentInode = 2;
  receipt.device = 3;
  receipt.inode = UINT64_MAX;
  receipt.size = 0;
  receipt.modifiedNs = -5;
  return receipt;
}

TEST_F(ReceiptFiles, PublicationReceiptRoundTripsByteForByte) {
  const std::string name = std::string(64, 'f') + ".123e4567-e89b-42d3-a456-426614174000.tmp";
  ASSERT_EQ(WriteRemovalReceipt(fd_, SampleReceipt(name), ""), 0);
  EXPECT_EQ(Contents(), "publication-removal-v1\n" + name +
                            "\n18446744071562067968\n2\n3\n18446744073709551615\n0\n-5\n");
  struct stat status;
  ASSERT_EQ(stat((dir_ + "/receipt").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  RemovalReceipt read;
  ASSERT_EQ(ReadRemovalReceipt(fd_, &read, ""), 0);
  EXPECT_EQ(read.name, name);
  EXPECT_EQ(read.parentDevice, 18446744071562067968u);
  EXPECT_EQ(read.inode, UINT64_MAX);
  EXPECT_EQ(read.modifiedNs, -5);
  // The same bytes read as a content receipt fail the header check.
  errno = 0;
  EXPECT_EQ(ReadRemovalReceipt(fd_, &read, ".content-recovery-" + std::string(64, '0')), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(ReceiptFiles, ContentReceiptCarriesItsNamespaceLine) {
  const std::string quarantine = ".content-recovery-" + std::string(64, '0');
  ASSERT_EQ(WriteRemovalReceipt(fd_, SampleReceipt("plain name"), quarantine), 0);
  EXPECT_EQ(Contents().substr(0, 19 + quarantine.size() + 1), "content-removal-v1\n" + quarantine + "\n");
  RemovalReceipt read;
  EXPECT_EQ(ReadRemovalReceipt(fd_, &read, quarantine), 0);
  EXPECT_EQ(read.name, "plain name");
  errno = 0;
  EXPECT_EQ(ReadRemovalReceipt(fd_, &read, ".content-recovery-" + std::string(64, '1')), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(ReceiptFiles, WriterNeverOverwritesOrFollowsLinks) {
  ASSERT_EQ(symlinkat("elsewhere", fd_, "receipt"), 0);
  errno = 0;
  EXPECT_EQ(WriteRemovalReceipt(fd_, SampleReceipt("x"), ""), -1);
  EXPECT_EQ(errno, EEXIST);
  struct stat status;
  EXPECT_NE(stat((dir_ + "/elsewhere").c_str(), &status), 0);
  RemovalReceipt read;
  errno = 0;
  EXPECT_EQ(ReadRemovalReceipt(fd_, &read, ""), -1);
  EXPECT_EQ(errno, ELOOP);
}

TEST_F(ReceiptFiles, MissingReceiptIsEnoent) {
  RemovalReceipt read;
  errno = 0;
  EXPECT_EQ(ReadRemovalReceipt(fd_, &read, ""), -1);
  EXPECT_EQ(errno, ENOENT);
}

// ---- every exported function when an allocation fails ----

napi_value__ Text(const std::string& text) {
  napi_value__ value;
  value.kind = napi_value__::kString;
  value.text = text;
  return value;
}

napi_value__ Big(uint64_t number) {
  napi_value__ value;
  value.kind = napi_value__::kBigInt;
  value.number = number;
  return value;
}

int OpenDescriptors() {
  DIR* listing = opendir("/proc/self/fd");
  int count = 0;
  while (readdir(listing) != nullptr) {
    ++count;
  }
  closedir(listing);
  return count;
}

std::string FileText(const std::string& file) {
  std::string data;
  const int fd = ::openat(AT_FDCWD, file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return "<missing>";
  }
  char buffer[256];
  const ssize_t count = read(fd, buffer, sizeof buffer);
  close(fd);
  return std::string(buffer, count > 0 ? static_cast<size_t>(count) : 0);
}

// A storage tree under long names, so that every copy of an argument is
// too long for the strings' inline storage and really allocates:
// <root>/content/blobs/ab/<file> holding "precious bytes".
class AllocationFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/anchorfile-allocation-failure-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    ASSERT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0);
  }
  // A fresh tree for one run; returns the file's path.
  std::string Plant() {
    EXPECT_EQ(system(("rm -rf '" + root_ + "/content' && mkdir -p '" + dir() + "'").c_str()), 0);
    const int fd = ::openat(AT_FDCWD, file().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, "precious bytes", 14), 14);
    close(fd);
    return file();
  }
  struct stat Status(const std::string& path) {
    struct stat status;
    memset(&status, 0, sizeof status);
    EXPECT_EQ(fstatat(AT_FDCWD, path.c_str(), &status, AT_SYMLINK_NOFOLLOW), 0) << path;
    return status;
  }
  std::string dir() const { return root_ + "/content/blobs/ab"; }
  std::string file() const { return dir() + "/" + name_; }

  // Calls the callback once for each allocation it makes, that allocation
  // failing, until a run gets through all of them; `check` looks at what
  // each failed run left. Every failed run must end in a thrown error
  // with the code of ENOMEM ("EIO") and one of the expected messages, never
  // in an exception leaving the callback, and must close every descriptor
  // it opened. Returns the number of allocations of a whole run.
  long Sweep(const std::function<FakeCall()>& setup, napi_callback callback,
             const std::vector<std::string>& messages, const std::function<void(long)>& check) {
    for (long n = 0; n < 500; ++n) {
      FakeCall call = setup();
      const int descriptors = OpenDescriptors();
      thrown = Thrown();
      allocation_failed = false;
      allocations_until_failure = n;
      callback(nullptr, reinterpret_cast<napi_callback_info>(&call));
      allocations_until_failure = -1;
      if (!allocation_failed) {
        EXPECT_FALSE(thrown.thrown) << "whole run: " << thrown.message;
        return n;
      }
      EXPECT_TRUE(thrown.thrown) << "allocation " << n;
      EXPECT_STREQ(thrown.code, "EIO") << "allocation " << n << ": " << thrown.message;
      EXPECT_NE(std::find(messages.begin(), messages.end(), std::string(thrown.message)),
                messages.end())
          << "allocation " << n << ": " << thrown.message;
      EXPECT_EQ(OpenDescriptors(), descriptors) << "allocation " << n;
      check(n);
    }
    ADD_FAILURE() << "no run got through";
    return -1;
  }

  std::string root_;
  const std::string parent_ = "content/blobs/ab";
  const std::string name_ = "a-blob-with-a-name-longer-than-inline-storage";
  const std::string quarantine_ = ".content-recovery-" + std::string(64, 'c');
};

TEST_F(AllocationFailure, PublicationFailsWithEioAndMovesNothing) {
  const std::string destination = "the-published-name-of-the-blob";
  const long allocations = Sweep(
      [&] {
        Plant();
        FakeCall call;
        call.args = {Text(root_), Text(parent_), Text(name_), Text(destination)};
        return call;
      },
      PublishNoReplace, {kPublishInvalid}, [&](long n) {
        EXPECT_EQ(FileText(file()), "precious bytes") << n;
        EXPECT_EQ(FileText(dir() + "/" + destination), "<missing>") << n;
      });
  EXPECT_GE(allocations, 5);  // root, parent, two components, source, destination
  EXPECT_EQ(FileText(dir() + "/" + destination), "precious bytes");
}

TEST_F(AllocationFailure, InspectPathFailsWithEio) {
  const std::string path = root_ + "/a/path/longer/than/inline/storage";
  EXPECT_EQ(Sweep(
                [&] {
                  FakeCall call;
                  call.args = {Text(path)};
                  return call;
                },
                InspectPath, {kInspectInvalid}, [](long) {}),
            1);
}

TEST_F(AllocationFailure, RemovalFailsWithEioAndLosesNothing) {
  const std::string requires_recovery = kRequiresRecovery + quarantine_;
  const long allocations = Sweep(
      [&] {
        const struct stat status = Status(Plant());
        const struct stat parent = Status(dir());
        FakeCall call;
        call.args = {Text(root_), Text(parent_), Text(name_),
                     Big(DeviceNumber(parent)), Big(InodeNumber(parent)),
                     Big(DeviceNumber(status)), Big(InodeNumber(status)),
                     Big(static_cast<uint64_t>(status.st_size)),
                     Big(static_cast<uint64_t>(ModificationNs(status))), Text(quarantine_)};
        return call;
      },
      RemoveAnchoredFile, {kRemovalInvalid, requires_recovery}, [&](long n) {
        // Stopped before the receipt: the file is where it was.
        EXPECT_EQ(FileText(file()), "precious bytes") << n;
        EXPECT_EQ(FileText(dir() + "/" + quarantine_ + "/receipt"), "<missing>") << n;
      });
  EXPECT_GE(allocations, 4);
  EXPECT_EQ(FileText(file()), "<missing>");
}

TEST_F(AllocationFailure, RecoveryFailsWithEioAndKeepsTheQuarantine) {
  const std::string quarantine_dir = dir() + "/" + quarantine_;
  const long allocations = Sweep(
      [&] {
        const struct stat status = Status(Plant());
        const struct stat parent = Status(dir());
        EXPECT_EQ(mkdir(quarantine_dir.c_str(), 0700), 0);
        RemovalReceipt receipt;
        receipt.name = name_;
        receipt.parentDevice = DeviceNumber(parent);
        receipt.parentInode = InodeNumber(parent);
        receipt.device = DeviceNumber(status);
        receipt.inode = InodeNumber(status);
        receipt.size = static_cast<uint64_t>(status.st_size);
        receipt.modifiedNs = ModificationNs(status);
        const int fd = ::openat(AT_FDCWD, quarantine_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        EXPECT_EQ(WriteRemovalReceipt(fd, receipt, quarantine_), 0);
        close(fd);
        FakeCall call;
        call.args = {Text(root_), Text(parent_), Text(quarantine_), Big(receipt.parentDevice),
                     Big(receipt.parentInode), Text(name_)};
        return call;
      },
      RecoverAnchoredRemoval,
      {kRecoveryInvalid, "Unrecognized publication recovery receipt."}, [&](long n) {
        EXPECT_EQ(FileText(file()), "precious bytes") << n;
        EXPECT_NE(FileText(quarantine_dir + "/receipt"), "<missing>") << n;
      });
  EXPECT_GE(allocations, 5);  // root, parent, components, quarantine, name, receipt
  EXPECT_EQ(FileText(file()), "<missing>");
}

}  // namespace
