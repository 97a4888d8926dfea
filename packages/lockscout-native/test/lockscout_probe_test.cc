// ProbeIdentity end to end against scripted Security tables: every reason
// the query and the interaction guard can give, their precedence, and that
// every probe releases what it obtained and puts the interaction setting
// back.
#include <gtest/gtest.h>

#include "../src/lockscout.cc"
#include "lockscout_fake_security.h"

namespace credential_identity {
namespace {

using fake::Entry;
using fake::Found;
using fake::NotFound;
using fake::S;

const char kSystem[] = "/Library/Keychains/System.keychain";
const char kLogin[] = "/k/login.keychain";
const char kOther[] = "/k/other.keychain";
constexpr SecKeychainStatus kLocked = kSecReadPermStatus | kSecWritePermStatus;

class Probe : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    S().lists = {{kLogin}};
  }

  // Runs one probe and checks what must hold after every probe: no object
  // left alive, the interaction setting as it was (unless the restore was
  // scripted to fail), and no keychain call made while prompts were on.
  ProbeResult Run(const std::string& identity = "Velkor Atlas", bool restore_can_fail = false) {
    const Boolean setting = S().interaction;
    const long live = SecurityStandinLiveObjectCount();
    ProbeResult result = ProbeIdentity(identity, api_);
    EXPECT_EQ(SecurityStandinLiveObjectCount(), live) << "a CoreFoundation object leaked";
    if (!restore_can_fail) {
      EXPECT_EQ(S().interaction, setting) << "interaction setting not restored";
    }
    for (Boolean during : S().interaction_during_keychain_calls) {
      EXPECT_EQ(during, 0) << "keychain call made with user interaction allowed";
    }
    return result;
  }

  static void ExpectResult(const ProbeResult& result, const char* status, const char* reason,
                           int32_t code, const char* account = "") {
    EXPECT_EQ(result.status, status);
    EXPECT_EQ(result.reason, reason);
    EXPECT_EQ(result.osStatus, code);
    EXPECT_EQ(result.account, account);
  }

  int Count(const char* call) const {
    int count = 0;
    for (const std::string& made : S().calls) count += made == call;
    return count;
  }

  SecurityApi api_ = fake::Table();
};

// ---- answers of the query ----

TEST_F(Probe, ItemUnderTheAccountNameExists) {
  S().answers = {Found(Entry{})};
  ExpectResult(Run(), "exists", "account-metadata-found", 0, "Velkor Atlas Key");
  EXPECT_EQ(S().queried_accounts, std::vector<std::string>{"Velkor Atlas Key"});
}

TEST_F(Probe, QueryAsksForMetadataAndReferenceNeverForData) {
  S().lists = {{kLogin, kOther}};
  S().answers = {Found(Entry{})};
  Run();
  ASSERT_EQ(S().query_shapes.size(), 1u);
  EXPECT_EQ(S().query_shapes[0],
            "pairs=11 class=genp service=Velkor Atlas Safe Storage account=Velkor Atlas Key "
            "list=/k/login.keychain;/k/other.keychain; limit=2 attributes=true data=false "
            "ref=true persistent=false ui=fail data-protection=false");
}

TEST_F(Probe, ItemUnderTheFallbackAccountExists) {
  Entry fallback;
  fallback.account = "Velkor Atlas";
  S().answers = {NotFound(), Found(fallback)};
  ExpectResult(Run(), "exists", "account-metadata-found", 0, "Velkor Atlas");
  EXPECT_EQ(S().queried_accounts, (std::vector<std::string>{"Velkor Atlas Key", "Velkor Atlas"}));
  // The second query uses the same list and statuses: nothing is re-read in
  // between but the stability checks.
  EXPECT_EQ(S().status_calls, 1 + 1 + 1 + 1);
}

TEST_F(Probe, NothingUnderEitherAccountIsNotFound) {
  ExpectResult(Run(), "not-found", "account-not-found", -25300);
  EXPECT_EQ(S().queried_accounts.size(), 2u);
}

TEST_F(Probe, LockedUserKeychainMakesAMissingItemBlocked) {
  S().lists = {{kLogin, kOther}};
  S().words[kOther] = kLocked;
  ExpectResult(Run(), "access-blocked", "keychain-locked", 0);
  EXPECT_EQ(S().queried_accounts.size(), 1u);  // no fallback query after a final result
}

TEST_F(Probe, LockedSystemKeychainAloneStillAllowsNotFound) {
  S().lists = {{kLogin, kSystem}};
  S().words[kSystem] = kLocked;
  ExpectResult(Run(), "not-found", "account-not-found", -25300);
}

TEST_F(Probe, TwoMatchesAreAmbiguous) {
  S().lists = {{kLogin, kOther}};
  Entry second;
  second.keychain = kOther;
  S().answers = {Found({Entry{}, second})};
  ExpectResult(Run(), "error", "ambiguous-account", 0);
}

TEST_F(Probe, ItemBeyondALockedKeychainIsIncomplete) {
  S().lists = {{kLogin, kOther}};
  S().words[kLogin] = kLocked;
  Entry in_other;
  in_other.keychain = kOther;
  S().answers = {Found(in_other)};
  ExpectResult(Run(), "access-blocked", "keychain-search-incomplete", 0);
}

TEST_F(Probe, ItemInSecondKeychainWithALaterLockedOneIsIncomplete) {
  S().lists = {{kLogin, kOther, kSystem}};
  S().words[kSystem] = kLocked;
  Entry in_other;
  in_other.keychain = kOther;
  S().answers = {Found(in_other)};
  ExpectResult(Run(), "access-blocked", "keychain-search-incomplete", 0);
}

TEST_F(Probe, ItemInFirstUnlockedKeychainExistsWhateverElseIsLocked) {
  S().lists = {{kLogin, kOther}};
  S().words[kOther] = kLocked;
  S().answers = {Found(Entry{})};
  ExpectResult(Run(), "exists", "account-metadata-found", 0, "Velkor Atlas Key");
}

TEST_F(Probe, QueryFailureCarriesItsCode) {
  S().answers = {{errSecInteractionNotAllowed, nullptr}};
  ExpectResult(Run(), "access-blocked", "metadata-query-failed", -25308);
  fake::Reset();
  S().lists = {{kLogin}};
  S().answers = {{errSecNoSuchKeychain, nullptr}};
  ExpectResult(Run(), "error", "metadata-query-failed", -25294);
}

TEST_F(Probe, FailedQueryStillReleasesAResultItWasHanded) {
  S().answers = {{errSecParam, Found(Entry{}).make}};
  ExpectResult(Run(), "error", "metadata-query-failed", -50);
}

TEST_F(Probe, AnswerCarryingDataIsRefused) {
  Entry with_data;
  with_data.with_data = true;
  S().answers = {Found(with_data)};
  ExpectResult(Run(), "error", "unexpected-secret-result", 0);
}

TEST_F(Probe, MalformedAnswersAreInvalidMetadata) {
  Entry wrong_service;
  wrong_service.service = "Velkor Atlas Safe Storage2";
  Entry wrong_account;
  wrong_account.account = "Velkor Atlas";
  Entry number_service;
  number_service.service_as_number = true;
  Entry no_account;
  no_account.without_account = true;
  const std::vector<fake::Answer> answers = {
      Found(wrong_service), Found(wrong_account), Found(number_service), Found(no_account),
      Found(std::vector<Entry>{}),
      {0, [] { return fake::MakeEntry(Entry{}); }},  // a dictionary, not an array
      {0, nullptr},                                  // success without a result
      {0, [] {
         return fake::MakeArray({CFStringCreateWithCString(kCFAllocatorDefault, "entry",
                                                           kCFStringEncodingUTF8)});
       }},
  };
  for (size_t i = 0; i < answers.size(); ++i) {
    fake::Reset();
    S().lists = {{kLogin}};
    S().answers = {answers[i]};
    ExpectResult(Run(), "error", "invalid-metadata-result", 0);
    EXPECT_EQ(S().queried_accounts.size(), 1u) << "answer " << i;
  }
}

TEST_F(Probe, MissingOrWrongReferenceIsInvalid) {
  Entry no_ref;
  no_ref.with_ref = false;
  S().answers = {Found(no_ref)};
  ExpectResult(Run(), "error", "invalid-item-reference", 0);
  fake::Reset();
  S().lists = {{kLogin}};
  Entry keychain_ref;
  keychain_ref.ref_is_keychain = true;
  S().answers = {Found(keychain_ref)};
  ExpectResult(Run(), "error", "invalid-item-reference", 0);
}

TEST_F(Probe, ItemKeychainUnavailable) {
  S().answers = {Found(Entry{})};
  S().copy_keychain_code = errSecInteractionNotAllowed;
  ExpectResult(Run(), "access-blocked", "item-keychain-unavailable", -25308);
  S().copy_keychain_code = errSecNoSuchKeychain;
  ExpectResult(Run(), "error", "item-keychain-unavailable", -25294);
  S().copy_keychain_code = 0;
  S().copy_keychain_null = true;
  ExpectResult(Run(), "error", "item-keychain-unavailable", 0);
}

TEST_F(Probe, ItemOutsideTheSearchListIsRefused) {
  Entry elsewhere;
  elsewhere.keychain = "/k/elsewhere.keychain";
  S().answers = {Found(elsewhere)};
  ExpectResult(Run(), "error", "item-keychain-outside-search-list", 0);
}

TEST_F(Probe, EachFailedCreationOfTheQueryIsAnAllocationFailure) {
  // The four creates of a query: service, account, match limit, dictionary.
  for (long n = 0; n < 4; ++n) {
    fake::Reset();
    S().lists = {{kLogin}};
    S().answers = {Found(Entry{})};
    const auto table = api_;
    static long failing;
    failing = n;
    // Armed once the probe holds its search list: the fake's list copy is
    // the probe's only create before the query.
    api_.SecKeychainCopySearchList = [](CFArrayRef* list) {
      const OSStatus code = fake::CopySearchList(list);
      SecurityStandinFailNthCreate(failing);
      return code;
    };
    ExpectResult(Run(), "error", "query-allocation-failed", 0);
    EXPECT_TRUE(S().queried_accounts.empty()) << n;
    api_ = table;
  }
}

// ---- changes during the query ----

TEST_F(Probe, ListChangedDuringQueryBeatsNotFound) {
  // The probe's copy, then the re-read after the query.
  S().lists = {{kLogin}, {kOther}};
  ExpectResult(Run(), "access-blocked", "keychain-search-list-changed", 0);
  EXPECT_EQ(S().queried_accounts.size(), 1u);
}

TEST_F(Probe, LockedDuringQueryBeatsFound) {
  S().answers = {Found(Entry{})};
  S().during_query = [] { S().words[kLogin] = kLocked; };
  ExpectResult(Run(), "access-blocked", "keychain-state-changed", 0);
}

TEST_F(Probe, ListChangedBeforeTheAnswerIsGivenIsCaughtByTheLastCheck) {
  // copy 1: the probe; copy 2: the check after the query; copy 3: the last
  // check before "exists".
  S().lists = {{kLogin}, {kLogin}, {kLogin, kOther}};
  S().answers = {Found(Entry{})};
  ExpectResult(Run(), "access-blocked", "keychain-search-list-changed", 0);
  EXPECT_EQ(Count("copy-search-list"), 3);
}

TEST_F(Probe, UnavailableReReadBeatsTheQueryError) {
  S().answers = {{errSecInteractionNotAllowed, nullptr}};
  S().copy_list_codes = {0, errSecNoSuchKeychain};
  ExpectResult(Run(), "error", "keychain-search-list-unavailable", -25294);
}

// ---- search list read by the probe itself ----

TEST_F(Probe, SearchListFailuresOfTheProbe) {
  S().copy_list_codes = {errSecInteractionRequired};
  ExpectResult(Run(), "access-blocked", "keychain-search-list-unavailable", -25315);
  fake::Reset();
  S().copy_list_null = true;
  ExpectResult(Run(), "error", "invalid-keychain-search-list", 0);
  fake::Reset();
  S().copy_list_not_array = true;
  ExpectResult(Run(), "error", "invalid-keychain-search-list", 0);
  fake::Reset();
  S().lists = {{}};
  ExpectResult(Run(), "error", "keychain-search-list-empty", 0);
  EXPECT_EQ(Count("copy-matching"), 0);
}

TEST_F(Probe, SearchStateFailuresStopBeforeTheQuery) {
  S().lists = {{kLogin, kOther}};
  S().words[kOther] = kSecUnlockStateStatus;
  ExpectResult(Run(), "access-blocked", "keychain-unreadable", 0);
  S().words.clear();
  S().status_codes[kOther] = errSecAuthFailed;
  ExpectResult(Run(), "access-blocked", "keychain-status-unavailable", -25293);
  S().status_codes.clear();
  std::vector<std::string> many;
  for (int i = 0; i < 65; ++i) many.push_back("/k/" + std::to_string(i));
  S().lists = {many};
  ExpectResult(Run(), "error", "keychain-search-list-too-large", 0);
  S().lists = {{kLogin, kOther, kLogin}};
  ExpectResult(Run(), "error", "invalid-keychain-search-list", 0);
  EXPECT_EQ(Count("copy-matching"), 0);
}

// ---- identity ----

TEST_F(Probe, IdentityOffTheListTouchesNothing) {
  for (const char* identity : {"", "velkor atlas", "Velkor Atlas ", "Velkor Atlas (DEV"}) {
    ExpectResult(Run(identity), "error", "invalid-identity", 0);
  }
  EXPECT_TRUE(S().calls.empty());
}

TEST_F(Probe, EachAllowedIdentityQueriesItsOwnNames) {
  S().answers = {NotFound(), NotFound()};
  Run("Velkor-Atlas (DEV)");
  EXPECT_EQ(S().queried_accounts,
            (std::vector<std::string>{"Velkor-Atlas (DEV) Key", "Velkor-Atlas (DEV)"}));
  EXPECT_NE(S().query_shapes[0].find("service=Velkor-Atlas (DEV) Safe Storage "),
            std::string::npos);
}

// ---- the interaction guard ----

TEST_F(Probe, UnreadableSettingStopsAtOnceAndRestoresNothing) {
  S().get_interaction_codes = {errSecInteractionRequired};
  ExpectResult(Run(), "access-blocked", "interaction-state-unavailable", -25315);
  EXPECT_EQ(S().calls, std::vector<std::string>{"get-interaction"});
}

TEST_F(Probe, FailedDisableIsReportedAndTheSettingIsStillRestored) {
  S().set_interaction_codes = {errSecAuthFailed};
  ExpectResult(Run(), "access-blocked", "interaction-disable-failed", -25293);
  EXPECT_EQ(S().calls, (std::vector<std::string>{"get-interaction", "set-interaction:0",
                                                 "set-interaction:1", "get-interaction"}));
}

TEST_F(Probe, FailedDisableAndFailedRestoreReportTheRestore) {
  S().set_interaction_codes = {errSecAuthFailed, errSecAuthFailed};
  ExpectResult(Run("Velkor Atlas", true), "error", "interaction-restore-failed", 0);
  // The failed restore, then the guard's last attempt at the end of its life.
  EXPECT_EQ(S().calls, (std::vector<std::string>{"get-interaction", "set-interaction:0",
                                                 "set-interaction:1", "set-interaction:1"}));
  EXPECT_EQ(S().interaction, 1);
}

TEST_F(Probe, DisableThatDoesNotTakeIsUnverified) {
  S().set_takes_effect = false;
  ExpectResult(Run(), "error", "interaction-disable-unverified", 0);
  fake::Reset();
  S().get_interaction_codes = {0, errSecInteractionNotAllowed};
  ExpectResult(Run(), "access-blocked", "interaction-disable-unverified", -25308);
}

TEST_F(Probe, FailedRestoreOverridesExists) {
  S().answers = {Found(Entry{})};
  S().set_interaction_codes = {0, errSecIO};
  const ProbeResult result = Run("Velkor Atlas", true);
  ExpectResult(result, "error", "interaction-restore-failed", 0);
  EXPECT_EQ(SerializeResult("darwin", "Velkor Atlas", result).find("account"), std::string::npos);
}

TEST_F(Probe, RestoreThatReadsBackWrongFails) {
  S().answers = {Found(Entry{})};
  // disable: get, set, get; restore: set, get (fails)
  S().get_interaction_codes = {0, 0, errSecIO};
  ExpectResult(Run("Velkor Atlas", true), "error", "interaction-restore-failed", 0);
  fake::Reset();
  S().lists = {{kLogin}};
  S().answers = {Found(Entry{})};
  // The restore's set succeeds but does not change the setting.
  api_.SecKeychainSetUserInteractionAllowed = [](Boolean state) {
    const bool first = S().calls.empty() || S().calls.back() == "get-interaction";
    S().calls.push_back(state ? "set-interaction:1" : "set-interaction:0");
    if (state == 0 && first) S().interaction = 0;
    return OSStatus{0};
  };
  ExpectResult(Run("Velkor Atlas", true), "error", "interaction-restore-failed", 0);
}

TEST_F(Probe, SettingThatWasOffStaysOff) {
  S().interaction = 0;
  S().answers = {Found(Entry{})};
  ExpectResult(Run(), "exists", "account-metadata-found", 0, "Velkor Atlas Key");
  EXPECT_EQ(S().calls.back(), "get-interaction");
  EXPECT_EQ(Count("set-interaction:1"), 0);
}

}  // namespace
}  // namespace credential_identity
