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

const ProbeResult kExists{"exists", "account-metadata-found", "Velkor Atlas Key", 0};
const ProbeResult kNotFound{"not-found", "account-not-found", "", -25300};
const ProbeResult kRestoreFailed{"error", "interaction-restore-failed", "", 0};

ProbeResult Blocked(const char* reason, int32_t code = 0) {
  return {"access-blocked", reason, "", code};
}

ProbeResult Error(const char* reason, int32_t code = 0) {
  return {"error", reason, "", code};
}

// The search list the fake hands out, with `locked` (if any) locked.
void List(const std::vector<std::string>& paths, const char* locked = nullptr) {
  S().lists = {paths};
  if (locked != nullptr) S().words[locked] = kLocked;
}

// The expected item with one member changed.
template <typename T, typename V>
fake::Answer FoundWith(T Entry::*member, V value) {
  Entry entry;
  entry.*member = value;
  return Found(entry);
}

int Count(const char* call) {
  int count = 0;
  for (const std::string& made : S().calls) count += made == call;
  return count;
}

void ExpectResult(const ProbeResult& result, const ProbeResult& expected) {
  EXPECT_EQ(result.status, expected.status);
  EXPECT_EQ(result.reason, expected.reason);
  EXPECT_EQ(result.osStatus, expected.osStatus);
  EXPECT_EQ(result.account, expected.account);
}

class Probe : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    List({kLogin});
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

  SecurityApi api_ = fake::Table();
};

// One scripted probe: the fake's set-up on top of the fixture's, the result
// it must give, and what the fake must have seen, where that matters.
struct Row {
  const char* name;
  void (*arrange)();
  ProbeResult expected;
  void (*verify)(const ProbeResult&) = nullptr;
};

class ProbeRow : public Probe, public ::testing::WithParamInterface<Row> {};

TEST_P(ProbeRow, GivesItsResult) {
  const Row& row = GetParam();
  row.arrange();
  // Only a probe that reports a failed restore may leave the setting changed.
  const ProbeResult result = Run("Velkor Atlas", row.expected.reason == kRestoreFailed.reason);
  ExpectResult(result, row.expected);
  if (row.verify) row.verify(result);
}

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

// How many queries were made: one only, where the first answer is final.
template <size_t N>
void Queries(const ProbeResult&) {
  EXPECT_EQ(S().queried_accounts.size(), N);
}

void NoQuery(const ProbeResult&) {
  EXPECT_EQ(Count("copy-matching"), 0);
}

// ---- answers of the query ----

const Row kAnswers[] = {
    {"ItemUnderTheAccountNameExists", [] { S().answers = {Found(Entry{})}; }, kExists,
     [](const ProbeResult&) {
       EXPECT_EQ(S().queried_accounts, std::vector<std::string>{"Velkor Atlas Key"});
     }},
    {"ItemUnderTheFallbackAccountExists",
     [] { S().answers = {NotFound(), FoundWith(&Entry::account, "Velkor Atlas")}; },
     {"exists", "account-metadata-found", "Velkor Atlas", 0},
     [](const ProbeResult&) {
       EXPECT_EQ(S().queried_accounts,
                 (std::vector<std::string>{"Velkor Atlas Key", "Velkor Atlas"}));
       // The second query uses the same list and statuses: nothing is re-read
       // in between but the stability checks.
       EXPECT_EQ(S().status_calls, 1 + 1 + 1 + 1);
     }},
    {"NothingUnderEitherAccountIsNotFound", [] {}, kNotFound, Queries<2>},
    {"LockedUserKeychainMakesAMissingItemBlocked", [] { List({kLogin, kOther}, kOther); },
     Blocked("keychain-locked"), Queries<1>},
    {"LockedSystemKeychainAloneStillAllowsNotFound", [] { List({kLogin, kSystem}, kSystem); },
     kNotFound},
    {"TwoMatchesAreAmbiguous",
     [] {
       List({kLogin, kOther});
       Entry second;
       second.keychain = kOther;
       S().answers = {Found({Entry{}, second})};
     },
     Error("ambiguous-account")},
    {"ItemBeyondALockedKeychainIsIncomplete",
     [] { List({kLogin, kOther}, kLogin); S().answers = {FoundWith(&Entry::keychain, kOther)}; },
     Blocked("keychain-search-incomplete")},
    {"ItemInSecondKeychainWithALaterLockedOneIsIncomplete",
     [] {
       List({kLogin, kOther, kSystem}, kSystem);
       S().answers = {FoundWith(&Entry::keychain, kOther)};
     },
     Blocked("keychain-search-incomplete")},
    // Found in the first keychain, but that one is locked: a locked
    // keychain may hide a second match, so "exists" would be a guess.
    {"ItemInALockedFirstKeychainIsIncomplete",
     [] { List({kLogin, kOther}, kLogin); S().answers = {Found(Entry{})}; },
     Blocked("keychain-search-incomplete")},
    {"ItemInFirstUnlockedKeychainExistsWhateverElseIsLocked",
     [] { List({kLogin, kOther}, kOther); S().answers = {Found(Entry{})}; }, kExists},
    {"QueryFailureNeedingTheUserBlocks",
     [] { S().answers = {{errSecInteractionNotAllowed, nullptr}}; },
     Blocked("metadata-query-failed", -25308)},
    {"OtherQueryFailureIsAnError", [] { S().answers = {{errSecNoSuchKeychain, nullptr}}; },
     Error("metadata-query-failed", -25294)},
    {"FailedQueryStillReleasesAResultItWasHanded",
     [] { S().answers = {{errSecParam, Found(Entry{}).make}}; },
     Error("metadata-query-failed", -50)},
    {"AnswerCarryingDataIsRefused", [] { S().answers = {FoundWith(&Entry::with_data, true)}; },
     Error("unexpected-secret-result")},
    // A secret in the answer is reported as such before its names are
    // judged: a malformed answer that carries data is still a leaked secret.
    {"DataWithAWrongServiceIsStillASecret",
     [] {
       Entry entry;
       entry.with_data = true;
       entry.service = "Velkor Atlas Safe Storage2";
       S().answers = {Found(entry)};
     },
     Error("unexpected-secret-result")},
    {"DataWithoutAnAccountIsStillASecret",
     [] {
       Entry entry;
       entry.with_data = true;
       entry.without_account = true;
       S().answers = {Found(entry)};
     },
     Error("unexpected-secret-result")},
    {"MissingReferenceIsInvalid", [] { S().answers = {FoundWith(&Entry::with_ref, false)}; },
     Error("invalid-item-reference")},
    {"ReferenceToAKeychainIsInvalid",
     [] { S().answers = {FoundWith(&Entry::ref_is_keychain, true)}; },
     Error("invalid-item-reference")},
    {"ItemKeychainNeedingTheUserBlocks",
     [] { S().answers = {Found(Entry{})}; S().copy_keychain_code = errSecInteractionNotAllowed; },
     Blocked("item-keychain-unavailable", -25308)},
    {"ItemKeychainFailureIsAnError",
     [] { S().answers = {Found(Entry{})}; S().copy_keychain_code = errSecNoSuchKeychain; },
     Error("item-keychain-unavailable", -25294)},
    {"ItemKeychainMissingIsAnError",
     [] { S().answers = {Found(Entry{})}; S().copy_keychain_null = true; },
     Error("item-keychain-unavailable")},
    {"ItemOutsideTheSearchListIsRefused",
     [] { S().answers = {FoundWith(&Entry::keychain, "/k/elsewhere.keychain")}; },
     Error("item-keychain-outside-search-list")},
    // Malformed answers.
    {"WrongService",
     [] { S().answers = {FoundWith(&Entry::service, "Velkor Atlas Safe Storage2")}; },
     Error("invalid-metadata-result"), Queries<1>},
    {"WrongAccount", [] { S().answers = {FoundWith(&Entry::account, "Velkor Atlas")}; },
     Error("invalid-metadata-result"), Queries<1>},
    {"ServiceNotAString", [] { S().answers = {FoundWith(&Entry::service_as_number, true)}; },
     Error("invalid-metadata-result"), Queries<1>},
    {"NoAccount", [] { S().answers = {FoundWith(&Entry::without_account, true)}; },
     Error("invalid-metadata-result"), Queries<1>},
    {"EmptyArray", [] { S().answers = {Found(std::vector<Entry>{})}; },
     Error("invalid-metadata-result"), Queries<1>},
    {"DictionaryNotArray", [] { S().answers = {{0, [] { return fake::MakeEntry(Entry{}); }}}; },
     Error("invalid-metadata-result"), Queries<1>},
    {"SuccessWithoutResult", [] { S().answers = {{0, nullptr}}; },
     Error("invalid-metadata-result"), Queries<1>},
    {"ArrayOfStrings",
     [] {
       S().answers = {{0, [] {
                         return fake::MakeArray({CFStringCreateWithCString(
                             kCFAllocatorDefault, "entry", kCFStringEncodingUTF8)});
                       }}};
     },
     Error("invalid-metadata-result"), Queries<1>},
};
INSTANTIATE_TEST_SUITE_P(Answers, ProbeRow, ::testing::ValuesIn(kAnswers), RowName);

TEST_F(Probe, QueryAsksForMetadataAndReferenceNeverForData) {
  List({kLogin, kOther});
  S().answers = {Found(Entry{})};
  Run();
  ASSERT_EQ(S().query_shapes.size(), 1u);
  EXPECT_EQ(S().query_shapes[0],
            "pairs=11 class=genp service=Velkor Atlas Safe Storage account=Velkor Atlas Key "
            "list=/k/login.keychain;/k/other.keychain; limit=2 attributes=true data=false "
            "ref=true persistent=false ui=fail data-protection=false");
}

TEST_F(Probe, EachFailedCreationOfTheQueryIsAnAllocationFailure) {
  static long failing;
  // Armed once the probe holds its search list: the fake's list copy is the
  // probe's only create before the query.
  api_.SecKeychainCopySearchList = [](CFArrayRef* list) {
    const OSStatus code = fake::CopySearchList(list);
    SecurityStandinFailNthCreate(failing);
    return code;
  };
  // The four creates of a query: service, account, match limit, dictionary.
  for (failing = 0; failing < 4; ++failing) {
    fake::Reset();
    List({kLogin});
    S().answers = {Found(Entry{})};
    ExpectResult(Run(), Error("query-allocation-failed"));
    EXPECT_TRUE(S().queried_accounts.empty()) << failing;
  }
}

// ---- changes during the query, and the search list read by the probe ----

const Row kSearchList[] = {
    {"ListChangedDuringQueryBeatsNotFound",
     [] { S().lists = {{kLogin}, {kOther}}; },  // the probe's copy, then the re-read
     Blocked("keychain-search-list-changed"), Queries<1>},
    {"LockedDuringQueryBeatsFound",
     [] {
       S().answers = {Found(Entry{})};
       S().during_query = [] { S().words[kLogin] = kLocked; };
     },
     Blocked("keychain-state-changed")},
    {"ListChangedBeforeTheAnswerIsGivenIsCaughtByTheLastCheck",
     [] {
       // copy 1: the probe; copy 2: the check after the query; copy 3: the
       // last check before "exists".
       S().lists = {{kLogin}, {kLogin}, {kLogin, kOther}};
       S().answers = {Found(Entry{})};
     },
     Blocked("keychain-search-list-changed"),
     [](const ProbeResult&) { EXPECT_EQ(Count("copy-search-list"), 3); }},
    {"UnavailableReReadBeatsTheQueryError",
     [] {
       S().answers = {{errSecInteractionNotAllowed, nullptr}};
       S().copy_list_codes = {0, errSecNoSuchKeychain};
     },
     Error("keychain-search-list-unavailable", -25294)},
    // Failures of the probe's own read stop it before the query.
    {"ListThatNeedsTheUser", [] { S().copy_list_codes = {errSecInteractionRequired}; },
     Blocked("keychain-search-list-unavailable", -25315), NoQuery},
    {"NullList", [] { S().copy_list_null = true; }, Error("invalid-keychain-search-list"),
     NoQuery},
    {"ListNotAnArray", [] { S().copy_list_not_array = true; },
     Error("invalid-keychain-search-list"), NoQuery},
    {"EmptyList", [] { List({}); }, Error("keychain-search-list-empty"), NoQuery},
    {"UnreadableKeychain",
     [] { List({kLogin, kOther}); S().words[kOther] = kSecUnlockStateStatus; },
     Blocked("keychain-unreadable"), NoQuery},
    {"StatusUnavailable",
     [] { List({kLogin, kOther}); S().status_codes[kOther] = errSecAuthFailed; },
     Blocked("keychain-status-unavailable", -25293), NoQuery},
    {"ListTooLarge",
     [] {
       std::vector<std::string> many;
       for (int i = 0; i < 65; ++i) many.push_back("/k/" + std::to_string(i));
       List(many);
     },
     Error("keychain-search-list-too-large"), NoQuery},
    {"DuplicateInList", [] { List({kLogin, kOther, kLogin}); },
     Error("invalid-keychain-search-list"), NoQuery},
};
INSTANTIATE_TEST_SUITE_P(SearchList, ProbeRow, ::testing::ValuesIn(kSearchList), RowName);

// ---- identity ----

TEST_F(Probe, IdentityOffTheListTouchesNothing) {
  for (const char* identity : {"", "velkor atlas", "Velkor Atlas ", "Velkor Atlas (DEV"}) {
    ExpectResult(Run(identity), Error("invalid-identity"));
  }
  EXPECT_TRUE(S().calls.empty());
}

TEST_F(Probe, EachAllowedIdentityQueriesItsOwnNames) {
  S().answers = {NotFound(), NotFound()};
  Run("Velkor-Atlas (DEV)");
  ASSERT_EQ(S().queried_accounts,
            (std::vector<std::string>{"Velkor-Atlas (DEV) Key", "Velkor-Atlas (DEV)"}));
  EXPECT_NE(S().query_shapes[0].find("service=Velkor-Atlas (DEV) Safe Storage "),
            std::string::npos);
}

// ---- the interaction guard ----

const Row kGuard[] = {
    {"UnreadableSettingStopsAtOnceAndRestoresNothing",
     [] { S().get_interaction_codes = {errSecInteractionRequired}; },
     Blocked("interaction-state-unavailable", -25315),
     [](const ProbeResult&) { EXPECT_EQ(S().calls, std::vector<std::string>{"get-interaction"}); }},
    {"FailedDisableIsReportedAndTheSettingIsStillRestored",
     [] { S().set_interaction_codes = {errSecAuthFailed}; },
     Blocked("interaction-disable-failed", -25293),
     [](const ProbeResult&) {
       EXPECT_EQ(S().calls, (std::vector<std::string>{"get-interaction", "set-interaction:0",
                                                      "set-interaction:1", "get-interaction"}));
     }},
    {"FailedDisableAndFailedRestoreReportTheRestore",
     [] { S().set_interaction_codes = {errSecAuthFailed, errSecAuthFailed}; }, kRestoreFailed,
     [](const ProbeResult&) {
       // The failed restore, then the guard's last attempt at the end of its
       // life.
       EXPECT_EQ(S().calls, (std::vector<std::string>{"get-interaction", "set-interaction:0",
                                                      "set-interaction:1", "set-interaction:1"}));
       EXPECT_EQ(S().interaction, 1);
     }},
    {"DisableThatDoesNotTakeIsUnverified", [] { S().set_takes_effect = false; },
     Error("interaction-disable-unverified")},
    {"DisableThatCannotBeReadBackIsUnverified",
     [] { S().get_interaction_codes = {0, errSecInteractionNotAllowed}; },
     Blocked("interaction-disable-unverified", -25308)},
    {"FailedRestoreOverridesExists",
     [] { S().answers = {Found(Entry{})}; S().set_interaction_codes = {0, errSecIO}; },
     kRestoreFailed,
     [](const ProbeResult& result) {
       EXPECT_EQ(SerializeResult("darwin", "Velkor Atlas", result).find("account"),
                 std::string::npos);
     }},
    {"RestoreThatCannotBeReadBackFails",
     [] {
       S().answers = {Found(Entry{})};
       S().get_interaction_codes = {0, 0, errSecIO};  // disable: get, set, get; restore: set, get
     },
     kRestoreFailed},
    {"RestoreThatReadsBackWrongFails",
     [] {
       S().answers = {Found(Entry{})};
       // The disable takes; the restore's set succeeds but changes nothing.
       S().during_query = [] { S().set_takes_effect = false; };
     },
     kRestoreFailed},
    {"SettingThatWasOffStaysOff", [] { S().interaction = 0; S().answers = {Found(Entry{})}; },
     kExists,
     [](const ProbeResult&) {
       EXPECT_EQ(S().calls.back(), "get-interaction");
       EXPECT_EQ(Count("set-interaction:1"), 0);
     }},
};
INSTANTIATE_TEST_SUITE_P(Guard, ProbeRow, ::testing::ValuesIn(kGuard), RowName);

}  // namespace
}  // namespace credential_identity
