// Unit tests of the add-on's pure rules and of the receipt writer and
// reader, compiled together with the add-on's source unit so that its
// internal functions are reachable. The Node-API calls are never made here;
// stubs satisfy the linker.
#include "../src/anchorfile.cc"

#include <gtest/gtest.h>

#include <stdlib.h>


extern "C" {
napi_status napi_create_string_utf8(napi_env, const char*, size_t, napi_value*) { return napi_generic_failure; }
napi_status napi_create_error(napi_env, napi_value, napi_value, napi_value*) { return napi_generic_failure; }
napi_status napi_set_named_property(napi_env, napi_value, const char*, napi_value) { return napi_generic_failure; }
napi_status napi_throw(napi_env, napi_value) { return napi_generic_failure; }
napi_status napi_get_cb_info(napi_env, napi_callback_info, size_t*, napi_value*, napi_value*, void**) { return napi_generic_failure; }
napi_status napi_get_value_string_utf8(napi_env, napi_value, char*, size_t, size_t*) { return napi_generic_failure; }
napi_status napi_get_value_bigint_uint64(napi_env, napi_value, uint64_t*, bool*) { return napi_generic_failure; }
napi_status napi_get_value_bigint_int64(napi_env, napi_value, int64_t*, bool*) { return napi_generic_failure; }
napi_status napi_get_undefined(napi_env, napi_value*) { return napi_generic_failure; }
napi_status napi_create_object(napi_env, napi_value*) { return napi_generic_failure; }
napi_status napi_get_boolean(napi_env, bool, napi_value*) { return napi_generic_failure; }
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

}  // namespace
