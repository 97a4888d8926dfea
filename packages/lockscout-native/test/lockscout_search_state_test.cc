// The search list and its status words: validation, the stability check,
// and which locked keychains may be hiding an account.
#include <gtest/gtest.h>

#include "../src/lockscout.cc"
#include "lockscout_fake_security.h"

namespace credential_identity {
namespace {

using fake::S;

const char kSystem[] = "/Library/Keychains/System.keychain";

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
  std::vector<std::string> Paths(int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) paths.push_back("/k/" + std::to_string(i) + ".keychain");
    return paths;
  }
  SecurityApi api_ = fake::Table();
  long live_before_ = 0;
  std::vector<CFArrayRef> lists_;
};

TEST_F(SearchState, SixtyFourKeychainsAreReadWithOneWordEach) {
  std::vector<unsigned int> statuses;
  const ProbeResult result = ReadSearchState(List(Paths(64)), api_, statuses);
  EXPECT_EQ(result.status, "ready");
  EXPECT_EQ(statuses.size(), 64u);
}

TEST_F(SearchState, SixtyFiveKeychainsAreRefusedWithoutAStatusCall) {
  std::vector<unsigned int> statuses;
  const ProbeResult result = ReadSearchState(List(Paths(65)), api_, statuses);
  EXPECT_EQ(result.status, "error");
  EXPECT_EQ(result.reason, "keychain-search-list-too-large");
  EXPECT_EQ(S().status_calls, 0);
}

TEST_F(SearchState, EmptyListIsAnError) {
  std::vector<unsigned int> statuses;
  const ProbeResult result = ReadSearchState(List({}), api_, statuses);
  EXPECT_EQ(result.status, "error");
  EXPECT_EQ(result.reason, "keychain-search-list-empty");
  EXPECT_EQ(result.osStatus, 0);
}

TEST_F(SearchState, DuplicateIsFoundAtItsSecondOccurrence) {
  std::vector<unsigned int> statuses;
  const ProbeResult result =
      ReadSearchState(List({"/k/a", "/k/b", "/k/c", "/k/c", "/k/d"}), api_, statuses);
  EXPECT_EQ(result.reason, "invalid-keychain-search-list");
  EXPECT_EQ(result.status, "error");
  EXPECT_EQ(S().status_calls, 3);  // a, b, c; the repeated c is never asked
  EXPECT_EQ(statuses.size(), 3u);
  statuses.clear();
  EXPECT_EQ(ReadSearchState(List({"/k/a", "/k/b", "/k/a"}), api_, statuses).reason,
            "invalid-keychain-search-list");
}

TEST_F(SearchState, UnreadableKeychainBlocksEvenWhenUnlocked) {
  S().words["/k/b"] = kSecUnlockStateStatus | kSecWritePermStatus;
  std::vector<unsigned int> statuses;
  const ProbeResult result = ReadSearchState(List({"/k/a", "/k/b"}), api_, statuses);
  EXPECT_EQ(result.status, "access-blocked");
  EXPECT_EQ(result.reason, "keychain-unreadable");
  EXPECT_EQ(result.osStatus, 0);
}

TEST_F(SearchState, UnreadableEntryIsSeenBeforeALaterDuplicate) {
  S().words["/k/b"] = kSecUnlockStateStatus;
  std::vector<unsigned int> statuses;
  EXPECT_EQ(ReadSearchState(List({"/k/a", "/k/b", "/k/a"}), api_, statuses).reason,
            "keychain-unreadable");
}

TEST_F(SearchState, FailingStatusCallReportsItsCode) {
  S().status_codes["/k/b"] = errSecInteractionNotAllowed;
  std::vector<unsigned int> statuses;
  ProbeResult result = ReadSearchState(List({"/k/a", "/k/b"}), api_, statuses);
  EXPECT_EQ(result.status, "access-blocked");
  EXPECT_EQ(result.reason, "keychain-status-unavailable");
  EXPECT_EQ(result.osStatus, -25308);

  S().status_codes["/k/b"] = errSecNoSuchKeychain;
  statuses.clear();
  result = ReadSearchState(List({"/k/a", "/k/b"}), api_, statuses);
  EXPECT_EQ(result.status, "error");
  EXPECT_EQ(result.osStatus, -25294);
}

TEST_F(SearchState, LockedReadableKeychainsAreAcceptedWithTheirWordsAsReturned) {
  S().words["/k/a"] = kSecReadPermStatus | 0x100;
  std::vector<unsigned int> statuses = {99};  // appended to, not cleared
  EXPECT_EQ(ReadSearchState(List({"/k/a", "/k/b"}), api_, statuses).status, "ready");
  EXPECT_EQ(statuses, (std::vector<unsigned int>{99, kSecReadPermStatus | 0x100, 7}));
}

// ---- CheckStableSearch ----

class StableSearch : public SearchState {
 protected:
  ProbeResult Check(const std::vector<std::string>& before,
                    const std::vector<std::string>& after) {
    S().lists = {before};
    CFArrayRef list = List(before);
    std::vector<unsigned int> statuses;
    EXPECT_EQ(ReadSearchState(list, api_, statuses).status, "ready");
    S().lists = {after};
    if (after_change_) after_change_();
    return CheckStableSearch(list, statuses, api_);
  }
  std::function<void()> after_change_;
};

TEST_F(StableSearch, UnchangedListAndStatesAreReady) {
  EXPECT_EQ(Check({"/k/a", "/k/b"}, {"/k/a", "/k/b"}).status, "ready");
}

TEST_F(StableSearch, ReorderedListHasChanged) {
  const ProbeResult result = Check({"/k/a", "/k/b"}, {"/k/b", "/k/a"});
  EXPECT_EQ(result.status, "access-blocked");
  EXPECT_EQ(result.reason, "keychain-search-list-changed");
}

TEST_F(StableSearch, LongerListHasChanged) {
  EXPECT_EQ(Check({"/k/a"}, {"/k/a", "/k/b"}).reason, "keychain-search-list-changed");
}

TEST_F(StableSearch, KeychainLockedMeanwhileIsAStateChange) {
  after_change_ = [] { S().words["/k/b"] = kSecReadPermStatus | kSecWritePermStatus; };
  const ProbeResult result = Check({"/k/a", "/k/b"}, {"/k/a", "/k/b"});
  EXPECT_EQ(result.status, "access-blocked");
  EXPECT_EQ(result.reason, "keychain-state-changed");
}

TEST_F(StableSearch, AnyBitOfTheWordCounts) {
  after_change_ = [] { S().words["/k/a"] = kSecUnlockStateStatus | kSecReadPermStatus; };
  EXPECT_EQ(Check({"/k/a"}, {"/k/a"}).reason, "keychain-state-changed");
}

TEST_F(StableSearch, FailingReReadReportsItsCode) {
  after_change_ = [] { S().copy_list_codes = {errSecInteractionRequired}; };
  const ProbeResult result = Check({"/k/a"}, {"/k/a"});
  EXPECT_EQ(result.status, "access-blocked");
  EXPECT_EQ(result.reason, "keychain-search-list-unavailable");
  EXPECT_EQ(result.osStatus, -25315);
}

TEST_F(StableSearch, NullOrNonArrayReReadIsInvalid) {
  after_change_ = [] { S().copy_list_null = true; };
  EXPECT_EQ(Check({"/k/a"}, {"/k/a"}).reason, "invalid-keychain-search-list");
  after_change_ = [] { S().copy_list_not_array = true; };
  EXPECT_EQ(Check({"/k/a"}, {"/k/a"}).reason, "invalid-keychain-search-list");
}

TEST_F(StableSearch, ReReadThatBecameUnreadableReportsThat) {
  after_change_ = [] { S().words["/k/a"] = kSecUnlockStateStatus; };
  EXPECT_EQ(Check({"/k/a"}, {"/k/a"}).reason, "keychain-unreadable");
}

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
