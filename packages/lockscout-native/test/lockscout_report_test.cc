// The identity allow-list, the keychain names, Failure's choice of status
// and the JSON line.
#include <gtest/gtest.h>

#include "../src/lockscout.cc"

#include "closed_descriptor.h"

namespace credential_identity {
namespace {

const char* const kIdentities[] = {"Velkor Atlas", "Velkor Atlas (DEV)", "Velkor-Atlas",
                                   "Velkor-Atlas (DEV)"};

TEST(AllowList, AcceptsExactlyTheFourIdentities) {
  for (const char* identity : kIdentities) {
    EXPECT_TRUE(IsAllowedIdentity(identity)) << identity;
  }
}

TEST(AllowList, RejectsNearMisses) {
  const std::string near_misses[] = {
      "velkor atlas", "VELKOR ATLAS", "Velkor Atlas ", " Velkor Atlas", "Velkor Atlas (DEV",
      "Velkor Atlas(DEV)", "Velkor Atlas (dev)", "Velkor_Atlas", "", "Velkor",
      std::string("Velkor Atlas\0", 13), "Velkor Atlas\n",
  };
  for (const std::string& identity : near_misses) {
    EXPECT_FALSE(IsAllowedIdentity(identity)) << identity;
  }
}

TEST(KeychainNames, DeriveServiceAccountAndFallback) {
  EXPECT_EQ(ServiceName("Velkor Atlas"), "Velkor Atlas Safe Storage");
  EXPECT_EQ(AccountName("Velkor Atlas"), "Velkor Atlas Key");
  EXPECT_EQ(FallbackAccountName("Velkor Atlas"), "Velkor Atlas");
  EXPECT_EQ(AccountName("Velkor-Atlas (DEV)"), "Velkor-Atlas (DEV) Key");
}

TEST(FailureStatus, InteractionCodesBlockAccessEverythingElseIsAnError) {
  for (int32_t code : {-25315, -25308, -25293, -128}) {
    const ProbeResult result = Failure("metadata-query-failed", code);
    EXPECT_EQ(result.status, "access-blocked") << code;
    EXPECT_EQ(result.osStatus, code);
  }
  for (int32_t code : {0, -25300, -25299, -25294, -50, 1, -25316, -127}) {
    EXPECT_EQ(Failure("metadata-query-failed", code).status, "error") << code;
  }
}

TEST(FailureStatus, KeepsReasonAndCodeAndLeavesAccountEmpty) {
  const ProbeResult result = Failure("keychain-status-unavailable", -25294);
  EXPECT_EQ(result.reason, "keychain-status-unavailable");
  EXPECT_EQ(result.account, "");
  EXPECT_EQ(result.osStatus, -25294);
}

TEST(Report, MatchesTheDocumentedLines) {
  EXPECT_EQ(SerializeResult("darwin", "", Failure("invalid-identity", 0)),
            "{\"schemaVersion\":1,\"platform\":\"darwin\",\"identity\":\"\",\"status\":\"error\","
            "\"reason\":\"invalid-identity\",\"osStatus\":0}");
  EXPECT_EQ(SerializeResult("darwin", "Velkor Atlas",
                            ProbeResult{"not-found", "account-not-found", "", -25300}),
            "{\"schemaVersion\":1,\"platform\":\"darwin\",\"identity\":\"Velkor Atlas\","
            "\"status\":\"not-found\",\"reason\":\"account-not-found\",\"osStatus\":-25300}");
  EXPECT_EQ(SerializeResult("darwin", "Velkor-Atlas (DEV)",
                            ProbeResult{"exists", "account-metadata-found",
                                        "Velkor-Atlas (DEV) Key", 0}),
            "{\"schemaVersion\":1,\"platform\":\"darwin\",\"identity\":\"Velkor-Atlas (DEV)\","
            "\"status\":\"exists\",\"reason\":\"account-metadata-found\",\"osStatus\":0,"
            "\"account\":\"Velkor-Atlas (DEV) Key\"}");
}

TEST(Report, NeverEchoesAnIdentityOffTheList) {
  const std::string hostile = "Velkor Atlas\",\"status\":\"exists";
  const std::string line =
      SerializeResult("darwin", hostile, Failure("invalid-identity", 0));
  EXPECT_EQ(line.find("exists"), std::string::npos);
  EXPECT_NE(line.find("\"identity\":\"\""), std::string::npos);
}

TEST(Report, EchoesEachAllowedIdentityByteForByte) {
  for (const char* identity : kIdentities) {
    const std::string line =
        SerializeResult("darwin", identity, ProbeResult{"not-found", "account-not-found", "", -25300});
    EXPECT_NE(line.find(std::string("\"identity\":\"") + identity + "\","), std::string::npos)
        << line;
  }
}

TEST(Report, AccountOnlyForExistsAndOnlyLast) {
  // An account left in a non-"exists" result must still not be written.
  const std::string blocked = SerializeResult(
      "darwin", "Velkor Atlas", ProbeResult{"access-blocked", "keychain-locked", "stale", 0});
  EXPECT_EQ(blocked.find("account"), std::string::npos);
  EXPECT_EQ(blocked.back(), '}');
  const std::string found = SerializeResult(
      "darwin", "Velkor Atlas", ProbeResult{"exists", "account-metadata-found", "Velkor Atlas", 0});
  const std::string tail = ",\"account\":\"Velkor Atlas\"}";
  ASSERT_GE(found.size(), tail.size());
  EXPECT_EQ(found.substr(found.size() - tail.size()), tail);
}

TEST(Report, WritesNegativeAndPositiveCodesAsPlainNumbers) {
  EXPECT_NE(SerializeResult("darwin", "Velkor Atlas", Failure("metadata-query-failed", -2147483647 - 1))
                .find("\"osStatus\":-2147483648}"),
            std::string::npos);
  EXPECT_NE(SerializeResult("darwin", "Velkor Atlas", Failure("metadata-query-failed", 7))
                .find("\"osStatus\":7}"),
            std::string::npos);
}

// Runs main in a child process whose descriptor `closed` is not open at
// start, then reports whether that descriptor is /dev/null once main has
// returned: were it left closed, the first file opened would take its
// number and receive whatever the program writes there.
TEST(Main, AClosedStandardDescriptorIsDevNullBeforeTheProbe) {
  char name[] = "lockscout";
  char* argv[] = {name, nullptr};
  for (int fd = 0; fd <= 2; ++fd) {
    EXPECT_TRUE(ClosedDescriptorFilledWithDevNull(fd, [&] { program_main(1, argv); }))
        << "descriptor " << fd;
  }
}

}  // namespace
}  // namespace credential_identity
