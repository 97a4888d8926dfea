// The validation core against a scripted back end: every outcome of a
// validation, what the back end was handed, and that a plain key it handed
// back is wiped and released exactly once, in that order.
//
// The program is one source unit; it is compiled into this test with its
// main renamed to program_main.
#include "../src/keyvet.cc"

#include <gtest/gtest.h>

#include "closed_descriptor.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using credential_key::CryptoApi;
using credential_key::KeyBlob;
using credential_key::ReadAndValidate;
using credential_key::SerializeResult;
using credential_key::ValidationResult;

// What the fake back end answers, and what it saw.
struct FakeBackend {
  bool succeeds = true;
  bool handsOutData = true;
  uint32_t outputCount = 32;
  uint32_t failureCode = 0;

  std::vector<std::string> calls;
  std::string input;
  uint32_t flags = 0;
  KeyBlob outputOnEntry{99, reinterpret_cast<unsigned char*>(1)};
  uint32_t codeOnEntry = 99;
  std::vector<unsigned char> plain;
  bool wipedWhatItHandedOut = false;
  bool releasedWhatItHandedOut = false;
  bool plainWasZeroAtRelease = false;
};

FakeBackend fake;

bool FakeUnprotect(const KeyBlob* input, uint32_t flags, KeyBlob* output, uint32_t* errorCode) {
  fake.calls.push_back("unprotect");
  fake.input.assign(reinterpret_cast<const char*>(input->data), input->count);
  fake.flags = flags;
  fake.outputOnEntry = *output;
  fake.codeOnEntry = *errorCode;
  if (fake.handsOutData) {
    // Reserved so that even a zero-byte key comes with a real pointer.
    fake.plain.reserve(fake.outputCount + 1);
    fake.plain.assign(fake.outputCount, 0xA5);
    output->data = fake.plain.data();
  }
  output->count = fake.outputCount;
  if (!fake.succeeds) *errorCode = fake.failureCode;
  return fake.succeeds;
}

void FakeWipe(unsigned char* data, uint32_t count) {
  fake.calls.push_back("wipe");
  fake.wipedWhatItHandedOut = data == fake.plain.data() && count == fake.plain.size();
  for (uint32_t i = 0; i < count; ++i) data[i] = 0;
}

void FakeRelease(unsigned char* data) {
  fake.calls.push_back("release");
  fake.releasedWhatItHandedOut = data == fake.plain.data();
  fake.plainWasZeroAtRelease = true;
  for (unsigned char byte : fake.plain) {
    if (byte != 0) fake.plainWasZeroAtRelease = false;
  }
}

const CryptoApi kFakeApi{FakeUnprotect, FakeWipe, FakeRelease};

class ReadAndValidateTest : public ::testing::Test {
 protected:
  void SetUp() override { fake = FakeBackend(); }

  // The bytes reach the core through an unlinked file's descriptor, as a
  // redirected standard input would.
  ValidationResult Validate(const std::string& bytes) {
    FILE* file = tmpfile();
    EXPECT_NE(file, nullptr);
    EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    EXPECT_EQ(fflush(file), 0);
    rewind(file);
    const ValidationResult result = ReadAndValidate(fileno(file), kFakeApi);
    fclose(file);
    return result;
  }

  static void ExpectResult(const ValidationResult& result, const char* status, const char* reason,
                           uint32_t code) {
    EXPECT_EQ(result.status, status);
    EXPECT_EQ(result.reason, reason);
    EXPECT_EQ(result.errorCode, code);
  }

  void ExpectWipedThenReleased() {
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"unprotect", "wipe", "release"}));
    EXPECT_TRUE(fake.wipedWhatItHandedOut);
    EXPECT_TRUE(fake.releasedWhatItHandedOut);
    EXPECT_TRUE(fake.plainWasZeroAtRelease);
  }
};

TEST_F(ReadAndValidateTest, HandsTheBackEndTheInputAndFreshOutValues) {
  const std::string bytes("pro\0tec\nted", 11);
  Validate(bytes);
  EXPECT_EQ(fake.input, bytes);
  EXPECT_EQ(fake.flags, 1u);
  EXPECT_EQ(fake.outputOnEntry.count, 0u);
  EXPECT_EQ(fake.outputOnEntry.data, nullptr);
  EXPECT_EQ(fake.codeOnEntry, 0u);
}

TEST_F(ReadAndValidateTest, EmptyInputNeverReachesTheBackEnd) {
  ExpectResult(Validate(""), "error", "invalid-ciphertext-size", 0);
  EXPECT_TRUE(fake.calls.empty());
}

TEST_F(ReadAndValidateTest, ExactlyTheLargestInputReachesTheBackEndWhole) {
  std::string bytes(65536, 'x');
  bytes.front() = 'a';
  bytes.back() = 'z';
  ExpectResult(Validate(bytes), "valid", "existing-key-validated", 0);
  EXPECT_EQ(fake.input, bytes);
}

TEST_F(ReadAndValidateTest, OneByteTooManyIsRefusedBeforeTheBackEnd) {
  ExpectResult(Validate(std::string(65537, 'x')), "error", "invalid-ciphertext-size", 0);
  ExpectResult(Validate(std::string(200000, 'x')), "error", "invalid-ciphertext-size", 0);
  EXPECT_TRUE(fake.calls.empty());
}

// Each answer of the back end, and the result it must give. Whatever the
// answer, a key that the back end handed out is wiped and released, and
// nothing is released when it handed out none.
struct Answer {
  const char* name;
  bool succeeds;
  bool handsOutData;
  uint32_t outputCount;
  uint32_t failureCode;
  const char* status;
  const char* reason;
  uint32_t code;
};

// A failure that hands out no key.
Answer Refused(uint32_t code, const char* status) {
  return {"failure", false, false, 32, code, status, "dpapi-unprotect-failed", code};
}

TEST_F(ReadAndValidateTest, EachAnswerOfTheBackEnd) {
  const Answer answers[] = {
      // name, succeeds, hands out data, key size, failure code; result
      {"32-byte key", true, true, 32, 0, "valid", "existing-key-validated", 0},
      {"31-byte key", true, true, 31, 0, "error", "invalid-key-size", 0},
      {"33-byte key", true, true, 33, 0, "error", "invalid-key-size", 0},
      {"empty key", true, true, 0, 0, "error", "invalid-key-size", 0},
      {"success without data", true, false, 32, 0, "error", "invalid-key-size", 0},
      {"failure leaving data", false, true, 32, 13, "error", "dpapi-unprotect-failed", 13},
      {"failure without data", false, false, 32, 13, "error", "dpapi-unprotect-failed", 13},
      // Only the four access codes mean access-blocked; every code is carried.
      Refused(5, "access-blocked"), Refused(1312, "access-blocked"),
      Refused(1325, "access-blocked"), Refused(1326, "access-blocked"),
      Refused(0, "error"), Refused(4, "error"), Refused(6, "error"), Refused(1311, "error"),
      Refused(1327, "error"), Refused(4294967295u, "error"),
  };
  for (const Answer& answer : answers) {
    SCOPED_TRACE(std::string(answer.name) + ", code " + std::to_string(answer.failureCode));
    fake = FakeBackend();
    fake.succeeds = answer.succeeds;
    fake.handsOutData = answer.handsOutData;
    fake.outputCount = answer.outputCount;
    fake.failureCode = answer.failureCode;
    ExpectResult(Validate("protected"), answer.status, answer.reason, answer.code);
    if (answer.handsOutData) {
      ExpectWipedThenReleased();
    } else {
      EXPECT_EQ(fake.calls, std::vector<std::string>{"unprotect"});
    }
  }
}

// Descriptors whose read fails rather than ends: a socket reset after part
// of the key arrived, a directory, a write-only descriptor. Each must be a
// failed read, never a short key handed to the back end.
TEST_F(ReadAndValidateTest, AFailedReadIsReportedAndNeverReachesTheBackEnd) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ASSERT_EQ(write(pair[1], "prote", 5), 5);
  // Closing a socket with unread data pending resets its peer instead of
  // ending it: the reader gets the five bytes, then ECONNRESET.
  char unread = 'x';
  ASSERT_EQ(write(pair[0], &unread, 1), 1);
  close(pair[1]);

  const int directory = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(directory, 0);
  const int write_only = open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(write_only, 0);
  for (const int fd : {pair[0], directory, write_only}) {
    SCOPED_TRACE("descriptor " + std::to_string(fd));
    ExpectResult(ReadAndValidate(fd, kFakeApi), "error", "input-read-failed", 0);
  }
  EXPECT_TRUE(fake.calls.empty());
  close(write_only);
  close(directory);
  close(pair[0]);
}

TEST(SerializeResultTest, WritesTheMembersInOrderWithoutSpaces) {
  EXPECT_EQ(SerializeResult("darwin", ValidationResult{"valid", "existing-key-validated", 0}),
            "{\"schemaVersion\":1,\"platform\":\"darwin\",\"status\":\"valid\","
            "\"reason\":\"existing-key-validated\",\"errorCode\":0}");
}

TEST(SerializeResultTest, WritesTheLargestCodeAsAnUnsignedNumber) {
  EXPECT_EQ(SerializeResult("win32", ValidationResult{"error", "dpapi-unprotect-failed", 4294967295u}),
            "{\"schemaVersion\":1,\"platform\":\"win32\",\"status\":\"error\","
            "\"reason\":\"dpapi-unprotect-failed\",\"errorCode\":4294967295}");
}

// Runs main in a child process whose descriptor `closed` is not open at
// start, then reports whether that descriptor is /dev/null once main has
// returned: were it left closed, the first file opened would take its
// number and receive whatever the program writes there.
TEST(Main, AClosedStandardDescriptorIsDevNullBeforeTheLine) {
  for (int fd = 0; fd <= 2; ++fd) {
    EXPECT_TRUE(ClosedDescriptorFilledWithDevNull(fd, [] { program_main(); }))
        << "descriptor " << fd;
  }
}

}  // namespace
