// The browser bridge's rules, on requests built by hand, a virtual clock and
// a backend that records its kicks: who is let in, what a page is told, and
// how retries are kept from kicking twice.
#include "watch/agent.h"
#include "agent_test_support.h"
#include "bridge/bridge.h"
#include "bridge/bridge_access.h"
#include "watch/drawer_board.h"
#include "watch/event_hub.h"
#include "bridge/kick_guard.h"
#include "os/owner_only_file.h"
#include "bridge/pairing.h"
#include "os/random.h"
#include "journal/sha256.h"

#include "cash_drawer_version.h"

#include <sys/stat.h>

#include <atomic>
#include <thread>

namespace cashdrawer::agent::testing {
namespace {

TEST(BridgeAccess, OnlyTheLoopbackAddressWithTheAgentsPortIsAHost) {
    const struct {
        const char* host;
        bool allowed;
    } rows[] = {
        {"127.0.0.1:17820", true},    {"localhost:17820", true},  {"LocalHost:17820", true},
        {"[::1]:17820", true},        {"127.0.0.1", false},       {"127.0.0.1:17821", false},
        {"127.0.0.2:17820", false},   {"evil.example:17820", false}, {"localhost.evil.example:17820", false},
        {"[::1]", false},             {"", false},                {"127.0.0.1:17820 ", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(IsLoopbackHost(row.host, 17820), row.allowed) << row.host;
    }
}

TEST(BridgeAccess, AnOriginIsASchemeAndAHostAndNothingElse) {
    const struct {
        const char* origin;
        const char* canonical; // nullptr: refused
    } rows[] = {
        {"https://till.example", "https://till.example"},
        {"HTTPS://Till.Example:8443", "https://till.example:8443"},
        {"http://127.0.0.1:5173", "http://127.0.0.1:5173"},
        {"http://[::1]:8080", "http://[::1]:8080"},
        {"http://[::ffff:127.0.0.1]", "http://[::ffff:127.0.0.1]"},
        {"http://[::1@evil.example]", nullptr},
        {"https://till-1.example", "https://till-1.example"},
        {"https://till_1.example", nullptr},
        {"https://till.example:65535", "https://till.example:65535"},
        {"https://till.example:65536", nullptr},
        {"https://till.example:", nullptr},
        {"https://till.example/", nullptr},
        {"https://user@till.example", nullptr},
        {"null", nullptr},
        {"file://", nullptr},
        {"ftp://till.example", nullptr},
        {"https://", nullptr},
        {"", nullptr},
    };
    for (const auto& row : rows) {
        const auto canonical = CanonicalOrigin(row.origin);
        EXPECT_EQ(canonical.has_value(), row.canonical != nullptr) << row.origin;
        if (canonical && row.canonical) {
            EXPECT_EQ(*canonical, row.canonical);
        }
    }
    EXPECT_TRUE(EqualInConstantTime("abc", "abc"));
    EXPECT_FALSE(EqualInConstantTime("abc", "abd"));
    EXPECT_FALSE(EqualInConstantTime("abc", "abcd"));
    // Views into longer texts compare their own bytes, none past their end.
    EXPECT_TRUE(EqualInConstantTime(std::string_view("abcX", 3), std::string_view("abcY", 3)));
}

JournalledEvent EventOf(uint64_t seq, const char* kindName, Json fields) {
    JournalledEvent event;
    event.seq = seq;
    event.kind = kindName;
    event.fields = std::move(fields);
    return event;
}

TEST(EventHub, EachSubscriberIsToldUntilItLeaves) {
    EventHub hub;
    std::vector<std::string> told;
    const uint64_t first = hub.Subscribe([&](const JournalledEvent& e) { told.push_back("first " + std::to_string(e.seq)); });
    const uint64_t second = hub.Subscribe([&](const JournalledEvent& e) { told.push_back("second " + std::to_string(e.seq)); });
    EXPECT_NE(first, second);
    EXPECT_NE(first, 0u); // 0 stands for no subscription
    EXPECT_NE(second, 0u);
    hub.Publish(EventOf(1, kind::kOpened, {{"drawer", "A"}}));
    hub.Unsubscribe(first);
    hub.Publish(EventOf(2, kind::kClosed, {{"drawer", "A"}}));
    EXPECT_EQ(told, (std::vector<std::string>{"first 1", "second 1", "second 2"}));
    EXPECT_EQ(hub.Subscribers(), 1u);
    JournalledEvent event = EventOf(7, kind::kOpened, {});
    event.line = R"({"seq":7,"kind":"opened"})";
    EXPECT_EQ(SseMessage(event), "id: 7\nevent: opened\ndata: {\"seq\":7,\"kind\":\"opened\"}\n\n");
}

TEST(DrawerBoard, EachDrawersViewFollowsItsEvents) {
    DrawerBoard board({{"A", 0}, {"B", std::nullopt}});
    EXPECT_EQ(board.All()[0].ToJson().dump(),
              R"({"id":"A","state":"unknown","raw":null,"reachable":false,"lastSeq":0})");
    board.Add(EventOf(2, kind::kClosed, {{"drawer", "A"}, {"raw", 1}}));
    board.Add(EventOf(3, kind::kStateChanged, {{"drawer", "B"}, {"raw", 0}}));
    board.Add(EventOf(4, kind::kOpened, {{"drawer", "A"}, {"raw", 0}}));
    board.Add(EventOf(5, kind::kKick, {{"drawer", "Z"}})); // not watched
    board.Add(EventOf(6, kind::kAgentStopped, {{"reason", "asked"}}));
    EXPECT_EQ(board.Find("A")->ToJson().dump(), R"({"id":"A","state":"open","raw":0,"reachable":true,"lastSeq":4})");
    EXPECT_EQ(board.Find("B")->ToJson().dump(),
              R"({"id":"B","state":"unknown","raw":0,"reachable":true,"lastSeq":3})");
    board.Add(EventOf(7, kind::kUnreachable, {{"drawer", "A"}, {"result", -2}, {"reason", "no port access"}}));
    EXPECT_EQ(board.Find("A")->ToJson().dump(),
              R"({"id":"A","state":"open","raw":0,"reachable":false,"reason":"no port access","lastSeq":7})");
    board.Add(EventOf(8, kind::kReachable, {{"drawer", "A"}, {"unreachableMs", 300}}));
    EXPECT_EQ(board.Find("A")->ToJson().dump(), R"({"id":"A","state":"open","raw":0,"reachable":true,"lastSeq":8})");
    board.Add(EventOf(9, kind::kClosed, {{"drawer", "A"}, {"raw", 1}}));
    EXPECT_EQ(board.Find("A")->ToJson().dump(), R"({"id":"A","state":"closed","raw":1,"reachable":true,"lastSeq":9})");
    // A change that carries no raw value shows none, not a stale or made-up one.
    board.Add(EventOf(10, kind::kStateChanged, {{"drawer", "B"}}));
    EXPECT_EQ(board.Find("B")->ToJson().dump(),
              R"({"id":"B","state":"unknown","raw":null,"reachable":true,"lastSeq":10})");
    EXPECT_EQ(board.Find("Z"), nullptr);
    ASSERT_EQ(board.All().size(), 2u);
    EXPECT_EQ(board.All()[1].id, "B");
}

constexpr int64_t kNow = 1796733296789;
const std::string kTill = "https://till.example";

TEST(Pairing, TheShownCodePairsTheOriginOnceAndTheTokenWorksForItAlone) {
    MemoryPairingStore store;
    std::string error;
    const auto code = IssuePairingCode(store, kNow, error);
    ASSERT_TRUE(code);
    EXPECT_EQ(code->size(), 8u) << "the README's eight digits";
    EXPECT_EQ(code->find_first_not_of("0123456789"), std::string::npos);
    // Every digit is drawn: a hundred codes (800 digits) miss none of the ten.
    std::string drawn;
    for (int i = 0; i < 100; ++i) {
        drawn += RandomDigits(8);
    }
    for (const char digit : std::string("0123456789")) {
        EXPECT_NE(drawn.find(digit), std::string::npos) << digit;
    }
    ASSERT_TRUE(store.code);
    EXPECT_EQ(store.code->codeHash, Sha256Hex(*code)); // kept hashed
    EXPECT_EQ(store.code->expiresUnixMillis, kNow + 120000);

    PairingDesk desk(store);
    const auto attempt = desk.Pair(kTill, *code, kNow + 1000, kNow + 1000);
    ASSERT_EQ(attempt.outcome, PairingDesk::Outcome::Paired);
    EXPECT_EQ(attempt.token.size(), 64u);
    EXPECT_FALSE(store.code); // used up
    ASSERT_EQ(store.paired.size(), 1u);
    EXPECT_EQ(store.paired[0].tokenHash, Sha256Hex(attempt.token));
    EXPECT_EQ(store.paired[0].pairedUnixMillis, kNow + 1000);
    EXPECT_EQ(desk.OriginOf(attempt.token), kTill);
    EXPECT_EQ(desk.OriginOf(attempt.token + "0"), std::nullopt);
    EXPECT_TRUE(desk.IsPaired(kTill));
    EXPECT_FALSE(desk.IsPaired("https://other.example"));
    EXPECT_EQ(desk.Pair("https://other.example", *code, kNow + 2000, kNow + 2000).outcome, PairingDesk::Outcome::WrongCode);

    // Pairing again replaces the origin's token; revoking forgets it.
    const auto second = IssuePairingCode(store, kNow + 3000, error);
    const auto again = desk.Pair(kTill, *second, kNow + 3000, kNow + 3000);
    ASSERT_EQ(again.outcome, PairingDesk::Outcome::Paired);
    EXPECT_EQ(desk.OriginOf(attempt.token), std::nullopt);
    EXPECT_EQ(desk.OriginOf(again.token), kTill);
    EXPECT_TRUE(RevokePairing(store, kTill, error));
    EXPECT_EQ(desk.OriginOf(again.token), std::nullopt);
    EXPECT_FALSE(RevokePairing(store, kTill, error));
    EXPECT_EQ(error, kTill + " is not paired");
}

TEST(Pairing, ACodeLastsTwoMinutesAndFiveWrongOnesLockPairingForAMinute) {
    MemoryPairingStore store;
    std::string error;
    PairingDesk desk(store);
    auto code = IssuePairingCode(store, kNow, error);
    EXPECT_EQ(desk.Pair(kTill, *code, kNow + 120000, kNow + 120000).outcome, PairingDesk::Outcome::WrongCode); // expired
    code = IssuePairingCode(store, kNow, error);
    EXPECT_EQ(desk.Pair(kTill, *code, kNow + 119999, kNow + 119999).outcome, PairingDesk::Outcome::Paired);

    code = IssuePairingCode(store, kNow, error);
    const std::string wrong = *code == "00000000" ? "00000001" : "00000000";
    for (int attempt = 1; attempt <= 4; ++attempt) {
        EXPECT_EQ(desk.Pair(kTill, wrong, kNow, kNow).outcome, PairingDesk::Outcome::WrongCode) << attempt;
    }
    // A right code before the fifth wrong one still pairs, and starts the count anew.
    EXPECT_EQ(desk.Pair(kTill, *code, kNow, kNow).outcome, PairingDesk::Outcome::Paired);
    code = IssuePairingCode(store, kNow, error);
    for (int attempt = 1; attempt <= 5; ++attempt) {
        EXPECT_EQ(desk.Pair(kTill, wrong, kNow, kNow).outcome, PairingDesk::Outcome::WrongCode) << attempt;
    }
    const auto locked = desk.Pair(kTill, *code, kNow + 59999, kNow + 59999);
    EXPECT_EQ(locked.outcome, PairingDesk::Outcome::LockedOut);
    EXPECT_EQ(locked.retryAfterMillis, 1);
    // The lock-out runs on the steady clock: the calendar set back or
    // forward an hour neither stretches it nor ends it.
    constexpr int64_t kHour = 3600 * 1000;
    for (const int64_t calendar : {kNow + 1000 - kHour, kNow + 1000 + kHour}) {
        const auto during = desk.Pair(kTill, *code, calendar, kNow + 1000);
        EXPECT_EQ(during.outcome, PairingDesk::Outcome::LockedOut) << calendar - kNow;
        EXPECT_EQ(during.retryAfterMillis, 59000) << calendar - kNow;
    }
    // The lock-out over, the count starts again from nothing: four more
    // wrong codes are only wrong.
    const std::string fresh = *code;
    for (int attempt = 1; attempt <= 4; ++attempt) {
        EXPECT_EQ(desk.Pair(kTill, wrong, kNow + 60000, kNow + 60000).outcome, PairingDesk::Outcome::WrongCode) << attempt;
    }
    EXPECT_EQ(desk.Pair(kTill, fresh, kNow + 60000, kNow + 60000).outcome, PairingDesk::Outcome::Paired);

    store.failWrites = true;
    code = IssuePairingCode(store, kNow, error);
    const auto unstored = desk.Pair(kTill, *code, kNow + 60000, kNow + 60000);
    EXPECT_EQ(unstored.outcome, PairingDesk::Outcome::NotStored);
    EXPECT_EQ(unstored.error, "disk full");
    EXPECT_TRUE(unstored.token.empty());
}

TEST(Pairing, TheFilesHoldHashesOnlyAndOnlyTheOwnerMayReadThem) {
    TempFolder folder;
    auto store = MakeFolderPairingStore(folder.path());
    std::string error;
    const auto code = IssuePairingCode(*store, kNow, error);
    ASSERT_TRUE(code) << error;
    PairingDesk desk(*store);
    const auto attempt = desk.Pair(kTill, *code, kNow, kNow);
    ASSERT_EQ(attempt.outcome, PairingDesk::Outcome::Paired) << attempt.error;
    const std::string file = folder / "pairings.json";
    const std::string text = ReadText(file);
    EXPECT_EQ(text.find(attempt.token), std::string::npos);
    EXPECT_NE(text.find(Sha256Hex(attempt.token)), std::string::npos);
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_FALSE(std::filesystem::exists(folder / "pairing-code.json"));
    // A second store on the same folder (the pair command's) sees the pairing.
    EXPECT_EQ(PairingDesk(*MakeFolderPairingStore(folder.path())).OriginOf(attempt.token), kTill);
    // A file that is no JSON pairs nobody.
    WriteText(file, "{\"paired\": [");
    EXPECT_EQ(desk.OriginOf(attempt.token), std::nullopt);
}

// A pairings file edited by hand or damaged: an entry of another shape is
// skipped and the others still pair; nothing in it stops the bridge.
TEST(Pairing, AnEntryOfAnotherShapeIsSkippedAndTheOthersServe) {
    TempFolder folder;
    auto store = MakeFolderPairingStore(folder.path());
    const std::string good = Sha256Hex("token-a");
    const std::string file = folder / "pairings.json";
    WriteText(file, R"({"paired":[{"origin":5},{"origin":"https://b.example","tokenHash":7},)"
                    R"({"origin":"https://c.example"},"text",[1],null,)"
                    R"({"origin":"https://a.example","tokenHash":")" + good + R"(","paired":"yesterday"}]})");
    const std::vector<PairedOrigin> paired = store->Paired();
    ASSERT_EQ(paired.size(), 1u);
    EXPECT_EQ(paired[0].origin, "https://a.example");
    EXPECT_EQ(paired[0].tokenHash, good);
    EXPECT_EQ(paired[0].pairedUnixMillis, 0) << "a time of another type reads as unknown";
    EXPECT_EQ(PairingDesk(*store).OriginOf("token-a"), "https://a.example");
    for (const char* text : {R"({"paired":{"origin":"x"}})", R"({"paired":5})", R"([{"paired":[]}])", "null"}) {
        WriteText(file, text);
        EXPECT_TRUE(store->Paired().empty()) << text;
    }
    // The code file likewise: a code of another shape is no code.
    const std::string codeFile = folder / "pairing-code.json";
    for (const char* text : {R"({"codeHash":5,"expires":1})", R"({"codeHash":"ab","expires":"soon"})",
                             R"({"codeHash":"ab","expires":-1})", R"({"codeHash":"","expires":1})", "[]"}) {
        WriteText(codeFile, text);
        EXPECT_EQ(store->Code(), std::nullopt) << text;
    }
    WriteText(codeFile, R"({"codeHash":"ab","expires":0})");
    ASSERT_TRUE(store->Code().has_value()) << "the boundary: a code that expired at the epoch is still a code";
    EXPECT_EQ(store->Code()->codeHash, "ab");
}

// A full disk (RLIMIT_FSIZE standing in) while the pairings are rewritten:
// the former file stays whole, and no half-written one is left beside it.
TEST(Pairing, AFullDiskLeavesTheFormerPairingsAsTheyWere) {
    TempFolder folder;
    auto store = MakeFolderPairingStore(folder.path());
    std::string error;
    ASSERT_TRUE(store->SetPaired({{"https://a.example", std::string(64, 'a'), 1}}, error)) << error;
    const std::string before = ReadText(folder / "pairings.json");
    {
        FileSizeLimit limit(40);
        EXPECT_FALSE(store->SetPaired({{"https://b.example", std::string(64, 'b'), 2}}, error));
    }
    EXPECT_EQ(error, folder / "pairings.json.new: File too large");
    EXPECT_EQ(ReadText(folder / "pairings.json"), before);
    EXPECT_FALSE(std::filesystem::exists(folder / "pairings.json.new"));
    // A folder gone from under it: nothing is written, and the path is named.
    EXPECT_FALSE(WriteOwnerOnlyFile(folder / "gone/pairings.json", "{}", error));
    EXPECT_EQ(error, folder / "gone/pairings.json.new: No such file or directory");
    // A folder where the file goes: the rename is refused, and the
    // temporary file does not stay behind.
    std::filesystem::create_directories(folder / "taken/pairings.json/inside");
    EXPECT_FALSE(WriteOwnerOnlyFile(folder / "taken/pairings.json", "{}", error));
    EXPECT_EQ(error, folder / "taken/pairings.json: Is a directory");
    EXPECT_FALSE(std::filesystem::exists(folder / "taken/pairings.json.new"));
    ASSERT_EQ(store->Paired().size(), 1u);
    EXPECT_EQ(store->Paired()[0].origin, "https://a.example");
}

TEST(KickGuard, ARetryGetsTheFirstAnswerForTenMinutesAndTheDrawerRestsForItsGuardTime) {
    constexpr int64_t kTenMinutes = 10 * 60 * 1'000'000LL; // as the README promises
    using KeyUse = KickGuard::KeyUse;
    KickGuard guard(1'000'000);
    const int64_t t0 = 50'000'000;
    std::optional<HttpResponse> answer;
    EXPECT_EQ(guard.Look(kTill, "k1", "A {}", t0, answer), KeyUse::New);
    EXPECT_EQ(guard.WaitMicros("A", t0), 0);
    guard.Accept(kTill, "k1", "A {}", "A", t0);
    // Accepted, not yet answered: the drawer's guard runs already.
    EXPECT_EQ(guard.Look(kTill, "k1", "A {}", t0 + 1, answer), KeyUse::InProgress);
    EXPECT_EQ(guard.WaitMicros("A", t0 + 250'000), 750'000);
    guard.Answer(kTill, "k1", HttpResponse::JsonBody(200, Json{{"seq", 7}}));
    EXPECT_EQ(guard.WaitMicros("A", t0 + 999'999), 1);
    EXPECT_EQ(guard.WaitMicros("A", t0 + 1'000'000), 0);
    EXPECT_EQ(guard.WaitMicros("B", t0), 0);
    EXPECT_EQ(guard.Look(kTill, "k1", "A {}", t0 + kTenMinutes - 1, answer), KeyUse::Answered);
    EXPECT_EQ(answer->body, R"({"seq":7})");
    EXPECT_EQ(guard.Look(kTill, "k1", "A {} ", t0 + 1, answer), KeyUse::OtherRequest);
    EXPECT_EQ(guard.Look(kTill, "k1", "B {}", t0 + 1, answer), KeyUse::OtherRequest);
    EXPECT_EQ(guard.Look("https://other.example", "k1", "A {}", t0 + 1, answer), KeyUse::New); // keys are per origin
    EXPECT_EQ(guard.Look(kTill, "k2", "A {}", t0 + 1, answer), KeyUse::New);
    EXPECT_EQ(guard.Look(kTill, "k1", "A {}", t0 + kTenMinutes, answer), KeyUse::New);
    // A kick that ended without an answer frees its key.
    guard.Accept(kTill, "k3", "A {}", "A", t0);
    guard.Abandon(kTill, "k3");
    EXPECT_EQ(guard.Look(kTill, "k3", "A {}", t0, answer), KeyUse::New);
}

// A backend with two drawers that records each kick.
class RecordingBackend final : public BridgeBackend {
public:
    std::vector<DrawerView> Drawers() override {
        return {DrawerView{"RN340_CashA", "closed", 1, true, "", 4}, DrawerView{"KV7640_CashB", "unknown", 0, true, "", 2}};
    }
    KickAnswer Kick(const std::string& drawer, const std::string& by, bool confirm, int timeoutMs,
                    const KickNote& note) override {
        if (duringKick) {
            duringKick();
        }
        kicks.push_back(drawer + " by " + by + (confirm ? " confirm " : " plain ") + std::to_string(timeoutMs));
        notes.push_back(note.cashier + "|" + note.reason);
        // A journal that failed gives the kick no seq.
        return KickAnswer{1, confirm ? "opened" : "kicked", "", journalFails ? 0 : ++seq};
    }
    Json Statistics() override { return Json{{"events", seq}}; }
    std::string LibraryVersion() override { return "0.2.0"; }
    Json Fleet() override { return fleet; }
    Json JournalAlarms() override { return alarms; }

    std::function<void()> duringKick; // runs inside each kick, before it is counted
    Json alarms = Json::parse(R"([{"seq":121,"kind":"journal-cut","time":"2026-12-09T10:00:00.000Z","problem":"lost"}])");
    Json fleet = Json{{"publisher", "mqtt"}, {"state", "failing"}, {"cause", "Connection refused"}};
    std::vector<std::string> kicks;
    std::vector<std::string> notes; // "cashier|reason" of each kick
    uint64_t seq = 10;
    bool journalFails = false;
};

class BridgeTest : public ::testing::Test {
protected:
    BridgeTest()
        : desk(store), bridge(BridgeSettings{17820, 1000}, backend, desk, [this] { return clock.SteadyMicros(); },
                              [this] { return clock.UnixMillis(); }) {
        std::string error;
        const auto code = IssuePairingCode(store, clock.UnixMillis(), error);
        token = desk.Pair(kTill, *code, clock.UnixMillis(), clock.UnixMillis()).token;
    }

    HttpRequest Request(std::string method, std::string path, std::string origin = kTill) {
        HttpRequest request;
        request.method = std::move(method);
        request.path = std::move(path);
        request.headers["host"] = "127.0.0.1:17820";
        if (!origin.empty()) {
            request.headers["origin"] = std::move(origin);
        }
        request.headers["authorization"] = "Bearer " + token;
        return request;
    }
    HttpRequest Kick(const std::string& key, const std::string& body = R"({"confirm": true, "timeoutMs": 3000})") {
        HttpRequest request = Request("POST", "/v1/drawers/RN340_CashA/open");
        request.headers["content-type"] = "application/json";
        request.headers["idempotency-key"] = key;
        request.body = body;
        return request;
    }
    static Json BodyOf(const HttpResponse& response) { return Json::parse(response.body); }

    VirtualAgentClock clock;
    MemoryPairingStore store;
    PairingDesk desk;
    RecordingBackend backend;
    Bridge bridge;
    std::string token;
};

TEST_F(BridgeTest, EveryCallButHealthNeedsTheTokenFromItsOwnOrigin) {
    HttpRequest rebinding = Request("GET", "/v1/health");
    rebinding.headers["host"] = "rebind.evil.example:17820";
    HttpRequest noToken = Request("GET", "/v1/drawers");
    noToken.headers.erase("authorization");
    HttpRequest unknownToken = Request("GET", "/v1/drawers");
    unknownToken.headers["authorization"] = "Bearer " + std::string(64, 'a');
    HttpRequest basic = Request("GET", "/v1/drawers");
    basic.headers["authorization"] = "Basic " + token;
    // The token with one byte changed: its first, a middle one, its last.
    const auto tokenWith = [this](std::size_t at) {
        std::string changed = token;
        changed[at] = changed[at] == '0' ? '1' : '0';
        HttpRequest request = Request("GET", "/v1/drawers");
        request.headers["authorization"] = "Bearer " + changed;
        return request;
    };
    HttpRequest tokenShort = Request("GET", "/v1/drawers");
    tokenShort.headers["authorization"] = "Bearer " + token.substr(0, token.size() - 1);
    const struct {
        const char* what;
        HttpRequest request;
        int status;
    } rows[] = {
        {"a forged Host", rebinding, 403},
        {"no Origin", Request("GET", "/v1/drawers", ""), 403},
        {"another origin", Request("GET", "/v1/drawers", "https://other.example"), 403},
        {"an origin that is no origin", Request("GET", "/v1/drawers", "null"), 403},
        {"no token", noToken, 401},
        {"an unknown token", unknownToken, 401},
        {"another scheme", basic, 401},
        {"the token, its first byte changed", tokenWith(0), 401},
        {"the token, a middle byte changed", tokenWith(32), 401},
        {"the token, its last byte changed", tokenWith(63), 401},
        {"the token less its last byte", tokenShort, 401},
        {"an origin that begins like the paired one", Request("GET", "/v1/drawers", "https://till.example.evil"), 403},
        {"the paired origin on another port", Request("GET", "/v1/drawers", "https://till.example:8443"), 403},
        {"the paired origin over http", Request("GET", "/v1/drawers", "http://till.example"), 403},
        {"the paired origin's parent", Request("GET", "/v1/drawers", "https://example"), 403},
        {"the token from its origin", Request("GET", "/v1/drawers"), 200},
        {"the origin spelled otherwise", Request("GET", "/v1/drawers", "HTTPS://TILL.example"), 200},
        {"an unknown drawer", Request("GET", "/v1/drawers/RN340_Cash"), 404},
        {"a drawer", Request("GET", "/v1/drawers/KV7640_CashB"), 200},
        {"a kick by GET", Request("GET", "/v1/drawers/KV7640_CashB/open"), 405},
        {"no such call", Request("GET", "/v1/drawerz"), 404},
        {"statistics", Request("GET", "/v1/statistics"), 200},
        {"health from anywhere", Request("GET", "/v1/health", "https://other.example"), 200},
        {"health by POST", Request("POST", "/v1/health"), 405},
    };
    for (const auto& row : rows) {
        const HttpResponse response = bridge.Handle(row.request);
        EXPECT_EQ(response.status, row.status) << row.what << ": " << response.body;
        EXPECT_EQ(response.Header("Content-Type"), "application/json") << row.what;
        const Json body = BodyOf(response);
        if (row.status != 200) {
            EXPECT_EQ(body["error"], row.status) << row.what;
            EXPECT_FALSE(body.value("reason", "").empty()) << row.what;
            // No refusal is for every page to read.
            EXPECT_NE(response.Header("Access-Control-Allow-Origin"), "*") << row.what;
        }
    }
    // The two 404s tell an unknown call from an unknown drawer.
    EXPECT_EQ(BodyOf(bridge.Handle(Request("GET", "/v1/drawerz")))["reason"], "GET /v1/drawerz is no call of this API");
    EXPECT_EQ(BodyOf(bridge.Handle(Request("GET", "/v1/drawers/RN340_Cash")))["reason"],
              "RN340_Cash is not a drawer this agent watches");
    // A byte that is no UTF-8 in the id: still the 404, the byte written as
    // U+FFFD, never the JSON writer's own words.
    const HttpResponse odd = bridge.Handle(Request("GET", "/v1/drawers/RN340_Cash\xff"));
    EXPECT_EQ(odd.status, 404);
    EXPECT_EQ(BodyOf(odd)["reason"], "RN340_Cash\xef\xbf\xbd is not a drawer this agent watches");
    EXPECT_NE(odd.body.find("RN340_Cash\xef\xbf\xbd is not"), std::string::npos) << "UTF-8 as it is, not \\u escapes";
    const HttpResponse drawers = bridge.Handle(Request("GET", "/v1/drawers"));
    EXPECT_EQ(drawers.Header("Access-Control-Allow-Origin"), kTill);
    EXPECT_EQ(BodyOf(drawers)["drawers"][0].dump(),
              R"({"id":"RN340_CashA","state":"closed","raw":1,"reachable":true,"lastSeq":4})");
    EXPECT_EQ(BodyOf(bridge.Handle(Request("GET", "/v1/statistics"))).dump(), R"({"events":10})");
    EXPECT_TRUE(backend.kicks.empty());
}

TEST_F(BridgeTest, HealthTellsAnyPageWhetherItIsPairedAndNothingOfTheDrawers) {
    const HttpResponse paired = bridge.Handle(Request("GET", "/v1/health"));
    EXPECT_EQ(paired.Header("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(BodyOf(paired).dump(),
              R"({"agent":"cashdrawer-agent","version":")" CASH_DRAWER_VERSION
              R"(","library":"0.2.0","api":1,"paired":true,)"
              R"("fleet":{"publisher":"mqtt","state":"failing","cause":"Connection refused"},)"
              R"("alarms":[{"seq":121,"kind":"journal-cut","time":"2026-12-09T10:00:00.000Z","problem":"lost"}]})");
    EXPECT_EQ(BodyOf(bridge.Handle(Request("GET", "/v1/health", "https://other.example")))["paired"], false);
    EXPECT_EQ(BodyOf(bridge.Handle(Request("GET", "/v1/health", "")))["paired"], false);
}

TEST_F(BridgeTest, PreflightsNameThePairedOriginAndConsentToTheLocalNetwork) {
    HttpRequest preflight = Request("OPTIONS", "/v1/drawers/RN340_CashA/open");
    preflight.headers["access-control-request-private-network"] = "true";
    HttpResponse response = bridge.Handle(preflight);
    EXPECT_EQ(response.status, 204);
    EXPECT_EQ(response.Header("Access-Control-Allow-Origin"), kTill);
    EXPECT_EQ(response.Header("Access-Control-Allow-Private-Network"), "true");
    EXPECT_EQ(response.Header("Access-Control-Allow-Methods"), "GET, POST, OPTIONS");
    EXPECT_EQ(response.Header("Access-Control-Allow-Headers"),
              "Authorization, Content-Type, Idempotency-Key, Last-Event-ID");
    // Ten minutes before the browser asks again: a till's page kicks often.
    EXPECT_EQ(response.Header("Access-Control-Max-Age"), "600");

    const HttpResponse stranger = bridge.Handle(Request("OPTIONS", "/v1/drawers", "https://other.example"));
    EXPECT_EQ(stranger.status, 403);
    EXPECT_EQ(stranger.Header("Access-Control-Allow-Origin"), "");
    // A page not yet paired may prepare to pair, and anyone to ask for health.
    const HttpResponse pairing = bridge.Handle(Request("OPTIONS", "/v1/pair", "https://other.example"));
    EXPECT_EQ(pairing.status, 204);
    EXPECT_EQ(pairing.Header("Access-Control-Allow-Origin"), "https://other.example");
    EXPECT_EQ(pairing.Header("Access-Control-Allow-Private-Network"), "");
    EXPECT_EQ(bridge.Handle(Request("OPTIONS", "/v1/health", "https://other.example")).Header("Access-Control-Allow-Origin"),
              "*");
}

TEST_F(BridgeTest, PairingAnswersATokenForTheOriginThatSentTheCode) {
    std::string error;
    const auto code = IssuePairingCode(store, clock.UnixMillis(), error);
    HttpRequest pair = Request("POST", "/v1/pair", "https://other.example");
    pair.headers.erase("authorization");
    pair.headers["content-type"] = "application/json";
    pair.body = Json{{"code", "12345678" == *code ? "87654321" : "12345678"}}.dump();
    const HttpResponse wrong = bridge.Handle(pair);
    EXPECT_EQ(wrong.status, 403);
    EXPECT_EQ(wrong.Header("Access-Control-Allow-Origin"), "https://other.example");
    pair.body = Json{{"code", *code}}.dump();
    const HttpResponse paired = bridge.Handle(pair);
    ASSERT_EQ(paired.status, 200);
    EXPECT_EQ(BodyOf(paired)["origin"], "https://other.example");
    EXPECT_EQ(desk.OriginOf(BodyOf(paired)["token"].get<std::string>()), "https://other.example");

    // A pairing that cannot be stored pairs nobody, and says why.
    store.failWrites = true;
    const auto second = IssuePairingCode(store, clock.UnixMillis(), error);
    HttpRequest unstored = pair;
    unstored.body = Json{{"code", *second}}.dump();
    const HttpResponse failed = bridge.Handle(unstored);
    EXPECT_EQ(failed.status, 500);
    EXPECT_EQ(BodyOf(failed)["reason"], "the pairing could not be stored: disk full");
    store.failWrites = false;

    HttpRequest text = pair;
    text.headers["content-type"] = "text/plain";
    EXPECT_EQ(bridge.Handle(text).status, 400);
    for (const char* body : {R"({"code": 12345678})", R"({"kode": "12345678"})", R"(["12345678"])", "12345678"}) {
        HttpRequest odd = pair;
        odd.body = body;
        EXPECT_EQ(bridge.Handle(odd).status, 400) << body;
    }
    HttpRequest noOrigin = pair;
    noOrigin.headers.erase("origin");
    EXPECT_EQ(bridge.Handle(noOrigin).status, 403);
    for (int attempt = 0; attempt < 5; ++attempt) {
        bridge.Handle(pair); // the code is used up: each is wrong now
    }
    const HttpResponse locked = bridge.Handle(pair);
    EXPECT_EQ(locked.status, 429);
    EXPECT_EQ(locked.Header("Retry-After"), "60");
}

TEST_F(BridgeTest, AKickIsJournalledByItsOriginAndARetryDoesNotKickAgain) {
    const HttpResponse first = bridge.Handle(Kick("key-1"));
    ASSERT_EQ(first.status, 200) << first.body;
    EXPECT_EQ(first.body, R"({"drawer":"RN340_CashA","confirm":true,"result":1,"outcome":"opened","seq":11})");
    EXPECT_EQ(first.Header("Access-Control-Allow-Origin"), kTill);
    // The answer depends on the asking origin: no cache may give it to another.
    EXPECT_EQ(first.Header("Vary"), "Origin");
    // Named once: a browser refuses an answer that names its origin twice.
    EXPECT_EQ(std::count_if(first.headers.begin(), first.headers.end(),
                            [](const auto& header) { return header.first == "Access-Control-Allow-Origin"; }),
              1);
    ASSERT_EQ(backend.kicks, std::vector<std::string>{"RN340_CashA by https://till.example confirm 3000"});

    clock.AdvanceMs(200);
    const HttpResponse retry = bridge.Handle(Kick("key-1"));
    EXPECT_EQ(retry.status, 200);
    EXPECT_EQ(retry.body, first.body);
    EXPECT_EQ(retry.Header("Idempotent-Replayed"), "true");
    EXPECT_EQ(std::count_if(retry.headers.begin(), retry.headers.end(),
                            [](const auto& header) { return header.first == "Access-Control-Allow-Origin"; }),
              1);
    const HttpResponse other = bridge.Handle(Kick("key-2"));
    EXPECT_EQ(other.status, 429);
    EXPECT_EQ(other.Header("Retry-After"), "1");
    EXPECT_EQ(backend.kicks.size(), 1u);

    clock.AdvanceMs(800); // the guard time since the first kick is over
    const HttpResponse plain = bridge.Handle(Kick("key-2", "{}"));
    EXPECT_EQ(plain.body, R"({"drawer":"RN340_CashA","confirm":false,"result":1,"outcome":"kicked","seq":12})");
    EXPECT_EQ(backend.kicks.back(), "RN340_CashA by https://till.example plain 5000");

    // The journal's very first line is seq 1; a kick the journal could not
    // take has none.
    const struct {
        uint64_t seqBefore;
        bool journalFails;
        const char* seq;
    } rows[] = {{0, false, "1"}, {5, true, "null"}};
    for (const auto& row : rows) {
        clock.AdvanceMs(1000);
        backend.seq = row.seqBefore;
        backend.journalFails = row.journalFails;
        const HttpResponse answer = bridge.Handle(Kick("key-seq-" + std::string(row.seq), "{}"));
        EXPECT_EQ(answer.body,
                  std::string(R"({"drawer":"RN340_CashA","confirm":false,"result":1,"outcome":"kicked","seq":)") + row.seq + "}");
    }
}

// A key names one kick: the same key with another drawer or another body
// is refused, never answered with what the first kick did.
TEST_F(BridgeTest, AnIdempotencyKeyIsOneRequestAndAnotherUnderItIsRefused) {
    ASSERT_EQ(bridge.Handle(Kick("key-1")).status, 200);
    HttpRequest otherDrawer = Kick("key-1");
    otherDrawer.path = "/v1/drawers/KV7640_CashB/open";
    const struct {
        const char* what;
        HttpRequest request;
        int status;
    } rows[] = {
        {"the same kick, its body written otherwise", Kick("key-1", R"({"timeoutMs":3000,"confirm":true})"), 200},
        {"another timeout", Kick("key-1", R"({"confirm": true, "timeoutMs": 3001})"), 422},
        {"no confirmation", Kick("key-1", R"({"confirm": false, "timeoutMs": 3000})"), 422},
        {"the defaults", Kick("key-1", "{}"), 422},
        {"the other drawer", otherDrawer, 422},
    };
    for (const auto& row : rows) {
        const HttpResponse answer = bridge.Handle(row.request);
        EXPECT_EQ(answer.status, row.status) << row.what << ": " << answer.body;
        EXPECT_EQ(answer.Header("Idempotent-Replayed"), row.status == 200 ? "true" : "") << row.what;
    }
    EXPECT_EQ(backend.kicks.size(), 1u);
}

// A double click behind a long confirmation: the second kick is measured
// from the moment the first was accepted, not from when its own turn in
// the line comes, and a retry under the first key waits for its answer.
TEST_F(BridgeTest, TheGuardRunsFromAKicksAcceptanceWhateverWaitsBehindIt) {
    HttpResponse second, retry;
    std::thread secondKick, retryKick;
    std::atomic<int> done{0};
    bool firstKick = true;
    backend.duringKick = [&] {
        if (!std::exchange(firstKick, false)) {
            return; // the first kick only
        }
        clock.AdvanceMs(500);
        secondKick = std::thread([&] {
            second = bridge.Handle(Kick("key-2"));
            ++done;
        });
        retryKick = std::thread([&] {
            retry = bridge.Handle(Kick("key-1"));
            ++done;
        });
        // The second is refused at once; the retry waits for this kick. (A
        // wait for the refusal, bounded for a busy machine: no figure.)
        for (int i = 0; i < 500 && done.load() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        clock.AdvanceMs(1500); // a confirmation that outlasts the guard time
    };
    const HttpResponse first = bridge.Handle(Kick("key-1"));
    secondKick.join();
    retryKick.join();
    EXPECT_EQ(first.status, 200);
    EXPECT_EQ(second.status, 429) << second.body;
    EXPECT_EQ(second.Header("Retry-After"), "1");
    EXPECT_EQ(retry.status, 200);
    EXPECT_EQ(retry.body, first.body);
    EXPECT_EQ(retry.Header("Idempotent-Replayed"), "true");
    EXPECT_EQ(backend.kicks.size(), 1u);
}

// Many pages kicking both drawers at once, for many rounds, with retries
// and reused keys: every request gets an answer (no lock waits for ever),
// and each drawer is kicked at most once per guard time.
TEST_F(BridgeTest, ManyThreadsKickingForManyRoundsAllGetAnswers) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 200;
    std::atomic<int> answered{0}, kicked{0}, refused{0}, replayed{0};
    std::vector<std::thread> pages;
    for (int t = 0; t < kThreads; ++t) {
        pages.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                HttpRequest request = Kick("k" + std::to_string(round % 5) + "-" + std::to_string(t % 3), "{}");
                if (t % 2 == 1) {
                    request.path = "/v1/drawers/KV7640_CashB/open";
                }
                const HttpResponse answer = bridge.Handle(request);
                ++answered;
                if (answer.Header("Idempotent-Replayed") == "true") {
                    ++replayed;
                } else if (answer.status == 200) {
                    ++kicked;
                } else if (answer.status == 429 || answer.status == 422 || answer.status == 409) {
                    ++refused;
                }
                if (t == 0) {
                    clock.AdvanceMs(50);
                }
            }
        });
    }
    for (std::thread& page : pages) {
        page.join();
    }
    EXPECT_EQ(answered.load(), kThreads * kRounds);
    EXPECT_EQ(kicked.load() + refused.load() + replayed.load(), kThreads * kRounds);
    EXPECT_EQ(static_cast<int>(backend.kicks.size()), kicked.load());
    // 200 rounds of 50 ms is 10 s: at most one kick a second for each drawer.
    EXPECT_LE(kicked.load(), 2 * (kRounds * 50 / 1000 + 1));
    EXPECT_GE(kicked.load(), 2);
}

TEST_F(BridgeTest, AKickThatCouldComeFromAFormOrAnOddBodyIsRefused) {
    HttpRequest form = Kick("k");
    form.headers["content-type"] = "text/plain";
    HttpRequest jsonp = Kick("k");
    jsonp.headers["content-type"] = "application/jsonp";
    HttpRequest noKey = Kick("k");
    noKey.headers.erase("idempotency-key");
    HttpRequest big = Kick("k", std::string(kMaxBodyBytes + 1, ' '));
    const struct {
        const char* what;
        HttpRequest request;
        int status;
    } rows[] = {
        {"text/plain", form, 415},
        {"application/jsonp", jsonp, 415},
        {"no Idempotency-Key", noKey, 400},
        {"a key too long", Kick(std::string(129, 'k')), 400},
        {"not JSON", Kick("k", "confirm"), 400},
        {"confirm as text", Kick("k", R"({"confirm": "yes"})"), 400},
        {"a fractional timeout", Kick("k", R"({"timeoutMs": 1.5})"), 400},
        {"a negative timeout", Kick("k", R"({"timeoutMs": -1})"), 400},
        {"a timeout over a minute", Kick("k", R"({"timeoutMs": 60001})"), 400},
        {"a field the agent does not know", Kick("k", R"({"confirm": true, "cashierId": "7"})"), 400},
        {"a cashier as a number", Kick("k", R"({"cashier": 7})"), 400},
        {"an empty cashier", Kick("k", R"({"cashier": ""})"), 400},
        {"a cashier of 65 bytes", Kick("k", R"({"cashier": ")" + std::string(65, 'c') + R"("})"), 400},
        {"a reason of 257 bytes", Kick("k", R"({"reason": ")" + std::string(257, 'r') + R"("})"), 400},
        {"a reason over two lines", Kick("k", R"({"reason": "float\ncheck"})"), 400},
        {"a cashier with DEL", Kick("k", "{\"cashier\": \"ann\x7f\"}"), 400},
        {"a cashier not in UTF-8", Kick("k", "{\"cashier\": \"\xc3\x28\"}"), 400},
        {"a body over 4 KiB", big, 413},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(bridge.Handle(row.request).status, row.status) << row.what;
    }
    EXPECT_TRUE(backend.kicks.empty());
    EXPECT_EQ(bridge.Handle(Kick("k", R"({"timeoutMs": 60000, "confirm": true})")).status, 200);
    EXPECT_EQ(backend.kicks.back(), "RN340_CashA by https://till.example confirm 60000");
    // Both ends of the timeout's range are taken: 0 asks for no wait at all.
    clock.AdvanceMs(1000);
    EXPECT_EQ(bridge.Handle(Kick("k0", R"({"timeoutMs": 0, "confirm": true})")).status, 200);
    EXPECT_EQ(backend.kicks.back(), "RN340_CashA by https://till.example confirm 0");
    // A body of exactly 4 KiB is still taken (blanks pad the JSON), as is a
    // key of exactly 128 characters, and JSON with its charset named is JSON.
    clock.AdvanceMs(1000);
    const std::string json = R"({"confirm": false})";
    HttpRequest padded = Kick(std::string(128, 'k'), json + std::string(kMaxBodyBytes - json.size(), ' '));
    padded.headers["content-type"] = "application/json; charset=utf-8";
    EXPECT_EQ(bridge.Handle(padded).status, 200);
    EXPECT_EQ(backend.kicks.size(), 3u);
}

TEST_F(BridgeTest, AKickCarriesTheCashierAndTheReasonAndNoFieldTheAgentDoesNotKnow) {
    // Each at its longest, in UTF-8 of more than one byte a letter.
    const std::string cashier = std::string(62, 'c') + "\xc3\xab"; // 64 bytes, ends in e-diaeresis
    const std::string reason = std::string(256, 'r');
    const HttpResponse noted =
        bridge.Handle(Kick("n1", Json{{"confirm", true}, {"cashier", cashier}, {"reason", reason}}.dump()));
    ASSERT_EQ(noted.status, 200) << noted.body;
    ASSERT_EQ(backend.notes, std::vector<std::string>{cashier + "|" + reason});

    // A retry that names another cashier is another request, not a replay.
    const HttpResponse otherCashier =
        bridge.Handle(Kick("n1", Json{{"confirm", true}, {"cashier", "ann"}, {"reason", reason}}.dump()));
    EXPECT_EQ(otherCashier.status, 422);

    // An unknown field is named in the refusal, beside the one that is known.
    const HttpResponse unknown = bridge.Handle(Kick("n2", R"({"cashier": "ann", "casher": "ann", "why": "x"})"));
    EXPECT_EQ(unknown.status, 400);
    EXPECT_NE(unknown.body.find(R"(a kick knows no field \"casher\", \"why\")"), std::string::npos) << unknown.body;
    // Without a note the kick has none.
    clock.AdvanceMs(1000);
    ASSERT_EQ(bridge.Handle(Kick("n3", "{}")).status, 200);
    EXPECT_EQ(backend.notes.back(), "|");
    EXPECT_EQ(backend.kicks.size(), 2u);
}

TEST_F(BridgeTest, APageMayReadTheWaitOfARefusalAndTheMarkOfAReplay) {
    ASSERT_EQ(bridge.Handle(Kick("e1")).status, 200);
    const HttpResponse replay = bridge.Handle(Kick("e1"));
    const HttpResponse refused = bridge.Handle(Kick("e2"));
    ASSERT_EQ(refused.status, 429);
    for (const HttpResponse* answer : {&replay, &refused}) {
        EXPECT_EQ(answer->Header("Access-Control-Expose-Headers"), "Retry-After, Idempotent-Replayed");
    }
}

TEST_F(BridgeTest, AnEventTicketIsForItsOriginOnceAndForThirtySeconds) {
    const HttpResponse issued = bridge.Handle(Request("POST", "/v1/events/ticket"));
    ASSERT_EQ(issued.status, 200);
    const std::string ticket = BodyOf(issued)["ticket"];
    // 128 random bits, in hex: no page guesses another's ticket in its 30 s.
    EXPECT_EQ(ticket.size(), 32u);
    EXPECT_EQ(ticket.find_first_not_of("0123456789abcdef"), std::string::npos) << ticket;
    EXPECT_EQ(BodyOf(issued)["expiresInMs"], 30000);
    EXPECT_EQ(bridge.TakeTicket(ticket), kTill);
    EXPECT_EQ(bridge.TakeTicket(ticket), std::nullopt);

    const std::string late = BodyOf(bridge.Handle(Request("POST", "/v1/events/ticket")))["ticket"];
    const std::string inTime = BodyOf(bridge.Handle(Request("POST", "/v1/events/ticket")))["ticket"];
    clock.AdvanceMs(29999);
    EXPECT_EQ(bridge.TakeTicket(inTime), kTill);
    clock.AdvanceMs(1);
    EXPECT_EQ(bridge.TakeTicket(late), std::nullopt);
    EXPECT_EQ(bridge.Handle(Request("POST", "/v1/events/ticket", "https://other.example")).status, 403);
}

} // namespace
} // namespace cashdrawer::agent::testing
