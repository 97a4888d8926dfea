// The search list and its status words: validation, the stability check,
// and which locked keychains may be hiding an account.
#include <gtest/gtest.h>

#include "../src/lockscout.cc"
#include "lockscout_fake_security.h"

namespace credential_identity {
namespace {

using fake::S;

const char kSystem[] = "/Library/Keychains/System.keychain";

void ExpectResult(const ProbeResult& result, const char* status, const char* reason,
                  int32_t code = 0) {
  EXPECT_EQ(result.status, status);
  EXPECT_EQ(result.reason, reason);
  EXPECT_EQ(result.osStatus, code);
}

class SearchState : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    live_before_ = SecurityStandinLiveObjectCount();
  }
  void TearDown() override {
    for (CFArrayRef list : lists_) CFRelease(list);
    EXPECT_EQ(SecurityStandinLiveObjectCount(), live_before_) << "a CoreFoundation object leaked";
  }
  CFArrayRef List(const std::vector<std::string>& paths) {
    lists_.push_back(fake::MakeList(paths));
    return lists_.back();
  }
  // Reads a list of the given paths into a fresh statuses_.
  ProbeResult Read(const std::vector<std::string>& paths) {
    statuses_.clear();
    return ReadSearchState(List(paths), api_, statuses_);
  }
  std::vector<std::string> Paths(int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) paths.push_back("/k/" + std::to_string(i) + ".keychain");
    return paths;
  }
  SecurityApi api_ = fake::Table();
  long live_before_ = 0;
  std::vector<CFArrayRef> lists_;
  std::vector<unsigned int> statuses_;
};

TEST_F(SearchState, SixtyFourKeychainsAreReadWithOneWordEach) {
  EXPECT_EQ(Read(Paths(64)).status, "ready");
  EXPECT_EQ(statuses_.size(), 64u);
}

TEST_F(SearchState, SixtyFiveKeychainsAreRefusedWithoutAStatusCall) {
  ExpectResult(Read(Paths(65)), "error", "keychain-search-list-too-large");
  EXPECT_EQ(S().status_calls, 0);
}

TEST_F(SearchState, EmptyListIsAnError) {
  ExpectResult(Read({}), "error", "keychain-search-list-empty");
}

TEST_F(SearchState, DuplicateIsFoundAtItsSecondOccurrence) {
  ExpectResult(Read({"/k/a", "/k/b", "/k/c", "/k/c", "/k/d"}), "error",
               "invalid-keychain-search-list");
  EXPECT_EQ(S().status_calls, 3);  // a, b, c; the repeated c is never asked
  EXPECT_EQ(statuses_.size(), 3u);
  EXPECT_EQ(Read({"/k/a", "/k/b", "/k/a"}).reason, "invalid-keychain-search-list");
}

TEST_F(SearchState, UnreadableKeychainBlocksEvenWhenUnlocked) {
  S().words["/k/b"] = kSecUnlockStateStatus | kSecWritePermStatus;
  ExpectResult(Read({"/k/a", "/k/b"}), "access-blocked", "keychain-unreadable");
}

TEST_F(SearchState, UnreadableEntryIsSeenBeforeALaterDuplicate) {
  S().words["/k/b"] = kSecUnlockStateStatus;
  EXPECT_EQ(Read({"/k/a", "/k/b", "/k/a"}).reason, "keychain-unreadable");
}

TEST_F(SearchState, FailingStatusCallReportsItsCode) {
  S().status_codes["/k/b"] = errSecInteractionNotAllowed;
  ExpectResult(Read({"/k/a", "/k/b"}), "access-blocked", "keychain-status-unavailable", -25308);
  S().status_codes["/k/b"] = errSecNoSuchKeychain;
  ExpectResult(Read({"/k/a", "/k/b"}), "error", "keychain-status-unavailable", -25294);
}

TEST_F(SearchState, LockedReadableKeychainsAreAcceptedWithTheirWordsAsReturned) {
  S().words["/k/a"] = kSecReadPermStatus | 0x100;
  std::vector<unsigned int> statuses = {99};  // appended to, not cleared
  EXPECT_EQ(ReadSearchState(List({"/k/a", "/k/b"}), api_, statuses).status, "ready");
  EXPECT_EQ(statuses, (std::vector<unsigned int>{99, kSecReadPermStatus | 0x100, 7}));
}

// ---- CheckStableSearch ----

// A list read as `before`, then re-read as `after` once `change` (if any)
// has been applied to the fake.
struct StableRow {
  const char* name;
  std::vector<std::string> before;
  std::vector<std::string> after;
  void (*change)();
  const char* status;
  const char* reason;
  int32_t code;
};

void PrintTo(const StableRow& row, std::ostream* out) {
  *out << row.name;
}

class StableSearch : public SearchState, public ::testing::WithParamInterface<StableRow> {};

TEST_P(StableSearch, GivesItsResult) {
  const StableRow& row = GetParam();
  S().lists = {row.before};
  CFArrayRef list = List(row.before);
  std::vector<unsigned int> statuses;
  ASSERT_EQ(ReadSearchState(list, api_, statuses).status, "ready");
  S().lists = {row.after};
  if (row.change) row.change();
  ExpectResult(CheckStableSearch(list, statuses, api_), row.status, row.reason, row.code);
}

const std::vector<std::string> kAB = {"/k/a", "/k/b"};
const std::vector<std::string> kA = {"/k/a"};

const StableRow kStableRows[] = {
    {"UnchangedListAndStatesAreReady", kAB, kAB, nullptr, "ready", "", 0},
    {"ReorderedListHasChanged", kAB, {"/k/b", "/k/a"}, nullptr, "access-blocked",
     "keychain-search-list-changed", 0},
    {"LongerListHasChanged", kA, kAB, nullptr, "access-blocked", "keychain-search-list-changed",
     0},
    {"KeychainLockedMeanwhileIsAStateChange", kAB, kAB,
     [] { S().words["/k/b"] = kSecReadPermStatus | kSecWritePermStatus; }, "access-blocked",
     "keychain-state-changed", 0},
    {"AnyBitOfTheWordCounts", kA, kA,
     [] { S().words["/k/a"] = kSecUnlockStateStatus | kSecReadPermStatus; }, "access-blocked",
     "keychain-state-changed", 0},
    {"FailingReReadReportsItsCode", kA, kA,
     [] { S().copy_list_codes = {errSecInteractionRequired}; }, "access-blocked",
     "keychain-search-list-unavailable", -25315},
    {"NullReReadIsInvalid", kA, kA, [] { S().copy_list_null = true; }, "error",
     "invalid-keychain-search-list", 0},
    {"NonArrayReReadIsInvalid", kA, kA, [] { S().copy_list_not_array = true; }, "error",
     "invalid-keychain-search-list", 0},
    {"ReReadThatBecameUnreadableReportsThat", kA, kA,
     [] { S().words["/k/a"] = kSecUnlockStateStatus; }, "access-blocked", "keychain-unreadable",
     0},
};
INSTANTIATE_TEST_SUITE_P(Rows, StableSearch, ::testing::ValuesIn(kStableRows),
                         [](const ::testing::TestParamInfo<StableRow>& info) {
                           return std::string(info.param.name);
                         });

// ---- locked keychains ----

TEST_F(SearchState, HasLockedKeychainLooksAtTheUnlockBitOnly) {
  EXPECT_FALSE(HasLockedKeychain({}));
  EXPECT_FALSE(HasLockedKeychain({7, 3, 1}));
  EXPECT_TRUE(HasLockedKeychain({7, 6}));
}

TEST_F(SearchState, OnlyTheExactSystemPathDoesNotHideAccounts) {
  CFArrayRef list = List({kSystem});
  const SecKeychainRef keychain = KeychainAt(list, 0);
  EXPECT_FALSE(HidesAccountsWhenLocked(keychain, api_));
  const std::string near_misses[] = {"/Library/Keychains/system.keychain",
                                     "/Library/Keychains/System.keychain/",
                                     "/Library/Keychains/System.keychai", "",
                                     "/Users/a/Library/Keychains/System.keychain",
                                     std::string(kSystem) + std::string(1, '\0')};
  for (const std::string& reported : near_misses) {
    S().reported_paths[kSystem] = reported;
    EXPECT_TRUE(HidesAccountsWhenLocked(keychain, api_)) << reported;
  }
  S().reported_paths.clear();
  S().path_codes[kSystem] = errSecNoSuchKeychain;
  EXPECT_TRUE(HidesAccountsWhenLocked(keychain, api_));
}

TEST_F(SearchState, LockedSystemKeychainAloneHidesNothing) {
  CFArrayRef list = List({"/k/login", kSystem});
  EXPECT_FALSE(AnyLockedUserDatabase(list, {7, 6}, api_));
  EXPECT_EQ(S().path_calls, 1);  // the unlocked keychain is never asked for its path
  EXPECT_TRUE(AnyLockedUserDatabase(list, {6, 6}, api_));
}

TEST_F(SearchState, LockedKeychainWithUnreadablePathMayHideAccounts) {
  S().path_codes["/k/login"] = errSecNoSuchKeychain;
  EXPECT_TRUE(AnyLockedUserDatabase(List({"/k/login"}), {6}, api_));
  EXPECT_FALSE(AnyLockedUserDatabase(List({"/k/login"}), {7}, api_));
}

}  // namespace
}  // namespace credential_identity
