#include "agent_test_support.h"

#include "watch/agent.h"
#include "app/serve.h"
#include "watch/statistics.h"

#include <atomic>
#include <future>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cashdrawer::agent {
namespace {

using namespace testing;

AgentSettings Watching(std::vector<WatchedDrawer> drawers, uint32_t leftOpenMs = 0) {
    AgentSettings settings;
    settings.drawers = std::move(drawers);
    settings.pollMs = 100;
    settings.leftOpenMs = leftOpenMs;
    return settings;
}

// The agent on scripted drawers and a virtual clock, journalling into a
// temporary folder.
struct AgentBench {
    explicit AgentBench(AgentSettings s) : settings(std::move(s)), journal(OpenJournal(folder.path())) {}

    Agent& Make() {
        agent = std::make_unique<Agent>(settings, drawers, *journal, clock);
        agent->OnEvent([this](const JournalledEvent& e) { told.push_back(e); });
        return *agent;
    }
    // Polls `count` times, 100 ms apart.
    void Polls(int count) {
        for (int i = 0; i < count; ++i) {
            clock.AdvanceMs(100);
            agent->Poll();
        }
    }
    // The journal's events after agent-started, as "kind drawer field=..".
    std::vector<std::string> Story() const {
        std::vector<std::string> story;
        for (const auto& event : ReadAll(folder.path())) {
            if (event.kind == kind::kAgentStarted) {
                continue;
            }
            std::string line = event.kind;
            for (const auto& [key, value] : event.fields.items()) {
                line += " " + key + "=" + (value.is_string() ? value.get<std::string>() : value.dump());
            }
            story.push_back(line);
        }
        return story;
    }

    TempFolder folder;
    AgentSettings settings;
    ScriptedDrawers drawers;
    VirtualAgentClock clock;
    std::unique_ptr<Journal> journal;
    std::unique_ptr<Agent> agent;
    std::vector<JournalledEvent> told;
};

TEST(AgentWatch, EachStateChangeIsOneEventWithItsOpenTime) {
    AgentBench bench(Watching({{"A", 1}, {"B", std::nullopt}}));
    bench.drawers.readings["A"] = {0, 0, 1, 1, 1, 0, 0};
    bench.drawers.readings["B"] = {1, 1, 1, 0};
    bench.Make().Start();
    bench.Polls(6);
    EXPECT_EQ(bench.Story(), (std::vector<std::string>{
                                 "closed drawer=A raw=0",
                                 "state-changed drawer=B raw=1",
                                 "opened drawer=A raw=1",
                                 "state-changed drawer=B raw=0",
                                 "closed drawer=A raw=0 openMs=300",
                             }));
}

TEST(AgentWatch, UnreachableAndBackAreEventsWithTheLibrarysReason) {
    AgentBench bench(Watching({{"A", 1}}));
    bench.drawers.readings["A"] = {1, -2, -2, -2, 1, 0};
    bench.Make().Start();
    bench.Polls(5);
    EXPECT_EQ(bench.Story(), (std::vector<std::string>{
                                 "opened drawer=A raw=1",
                                 "unreachable drawer=A result=-2 reason=the drawer's hardware cannot be reached",
                                 "reachable drawer=A unreachableMs=300",
                                 "opened drawer=A raw=1",
                                 "closed drawer=A raw=0 openMs=100",
                             }));
}

TEST(AgentWatch, TheLeftOpenAlarmSoundsOnceAtItsTimeForEachOpening) {
    AgentBench bench(Watching({{"A", 0}}, 500));
    bench.drawers.readings["A"] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    bench.Make().Start();
    bench.Polls(4); // open for 400 ms
    EXPECT_EQ(bench.Story(), std::vector<std::string>{"opened drawer=A raw=0"});
    bench.Polls(1); // 500 ms: the alarm
    bench.Polls(2); // no second one for the same opening
    bench.Polls(1); // closed
    bench.Polls(6);
    EXPECT_EQ(bench.Story(), (std::vector<std::string>{
                                 "opened drawer=A raw=0",
                                 "left-open drawer=A openMs=500",
                                 "closed drawer=A raw=1 openMs=800",
                                 "opened drawer=A raw=0",
                                 "left-open drawer=A openMs=500",
                             }));
}

TEST(AgentWatch, NoAlarmWithoutAPolarityOrWithTheAlarmOff) {
    for (const auto& settings : {Watching({{"A", std::nullopt}}, 100), Watching({{"A", 1}}, 0)}) {
        AgentBench bench(settings);
        bench.drawers.readings["A"] = {1};
        bench.Make().Start();
        bench.Polls(10);
        EXPECT_EQ(bench.Story().size(), 1u);
    }
}

// The calendar clock set against the steady one: past a minute, either
// way, the journal says so with both readings; up to it, a time server's
// correction, nothing.
TEST(AgentWatch, ACalendarJumpOfOverAMinuteIsJournalledWithBothReadings) {
    const struct {
        int64_t jumpMs;
        bool told;
    } rows[] = {{-3'600'000, true}, {60'000, false}, {60'001, true}, {-60'000, false}, {-60'001, true}, {86'400'000 * 700LL, true}};
    for (const auto& row : rows) {
        AgentBench bench(Watching({{"A", 1}}));
        bench.drawers.readings["A"] = {1};
        bench.Make().Start();
        bench.Polls(1);
        bench.clock.unixMillis += row.jumpMs;
        bench.Polls(2);
        const int64_t nowMs = bench.clock.UnixMillis();
        const auto story = bench.Story();
        if (!row.told) {
            EXPECT_EQ(story.size(), 1u) << row.jumpMs;
            continue;
        }
        ASSERT_EQ(story.size(), 2u) << row.jumpMs;
        EXPECT_EQ(story[1], "clock-jumped expected=" + FormatUtcMillis(nowMs - 100 - row.jumpMs) +
                                " now=" + FormatUtcMillis(nowMs - 100) + " jumpMs=" + std::to_string(row.jumpMs));
    }
    // Both clocks going on together, however long between two polls (a
    // till asleep for two days), is no jump: the offset is taken in one unit.
    AgentBench bench(Watching({{"A", 1}}));
    bench.drawers.readings["A"] = {1};
    bench.Make().Start();
    bench.Polls(1);
    bench.clock.AdvanceMs(2 * 86'400'000LL);
    bench.Polls(2);
    EXPECT_EQ(bench.Story().size(), 1u);
}

// Each outcome of a kick counts where the README says, and nowhere else.
TEST(AgentStatistics, EachKickOutcomeCountsOnce) {
    const struct {
        const char* outcome;
        int good, failed, unconfirmed;
    } rows[] = {
        {"opened", 1, 0, 0},         {"not-opened", 0, 1, 0},     {"unreachable", 0, 1, 0}, {"kicked", 0, 0, 1},
        {"unknown-drawer", 0, 0, 0}, {"bad-argument", 0, 0, 0},   {"unexpected", 0, 0, 0},  {"opened ", 0, 0, 0},
    };
    for (const auto& row : rows) {
        Statistics statistics;
        statistics.Add(JournalledEvent{1, "", kind::kKick, Json{{"drawer", "A"}, {"outcome", row.outcome}}, ""});
        const Json counts = statistics.ToJson()["drawers"]["A"];
        EXPECT_EQ(counts["DrawerGoodOpenCount"], row.good) << row.outcome;
        EXPECT_EQ(counts["DrawerFailedOpenCount"], row.failed) << row.outcome;
        EXPECT_EQ(counts["unconfirmedKicks"], row.unconfirmed) << row.outcome;
    }
}

TEST(AgentKick, JournalsWhoAskedAndWhatCameOfIt) {
    const struct {
        bool confirm;
        int result;
        const char* outcome;
        bool reason;
        KickNote note; // the cashier's, journalled beside the library's reason
    } cases[] = {
        {true, 1, "opened", false, {"ann", "float check"}},
        {true, 0, "not-opened", true, {"", "refund"}},
        {false, 1, "kicked", false, {"7", ""}},
        {false, -1, "unknown-drawer", true, {}},
        {true, -2, "unreachable", true, {}},
        {true, -3, "bad-argument", true, {}},
    };
    for (const auto& c : cases) {
        AgentBench bench(Watching({{"A", 1}}));
        bench.drawers.readings["A"] = {0, 1};
        bench.drawers.kickResult = c.result;
        bench.drawers.lastError = "the library's words";
        bench.Make().Start();
        const KickAnswer answer = bench.agent->Kick("A", "https://till.example", c.confirm, 1500, c.note);
        EXPECT_EQ(answer.result, c.result);
        EXPECT_EQ(answer.outcome, c.outcome);
        EXPECT_EQ(answer.reason, c.reason ? "the library's words" : "");
        EXPECT_EQ(bench.drawers.calls,
                  std::vector<std::string>{c.confirm ? "OpenCashConfirmed A 1500" : "OpenCash A"});
        const auto events = ReadAll(bench.folder.path());
        ASSERT_EQ(events.size(), 4u) << c.outcome; // started, closed, kick, and the state read right after it
        EXPECT_EQ(answer.seq, 3u);
        EXPECT_EQ(events[2].kind, "kick");
        Json expected{{"drawer", "A"}, {"by", "https://till.example"}, {"confirm", c.confirm}, {"result", c.result},
                      {"outcome", c.outcome}};
        if (c.reason) {
            expected["reason"] = "the library's words";
        }
        if (!c.note.cashier.empty()) {
            expected["cashier"] = c.note.cashier;
        }
        if (!c.note.reason.empty()) {
            expected["kickReason"] = c.note.reason;
        }
        EXPECT_EQ(events[2].fields, expected);
        EXPECT_EQ(events[3].kind, "opened"); // seen at once, not a poll later
    }
}

TEST(AgentStart, JournalsTheStartWithTheLibraryAndSetsATornLineAsideFirst) {
    AgentBench bench(Watching({{"A", 1}, {"B", 0}}));
    bench.journal.reset();
    WriteText(JournalFilePath(bench.folder.path(), 1), "{\"seq\":1,\"ti");
    bench.journal = OpenJournal(bench.folder.path());
    bench.drawers.readings["A"] = {1};
    bench.drawers.readings["B"] = {1};
    bench.Make().Start();
    bench.agent->Stop("asked to stop");
    const auto events = ReadAll(bench.folder.path());
    EXPECT_EQ(KindsOf(events), (std::vector<std::string>{"torn-line-set-aside", "agent-started", "opened", "closed",
                                                         "agent-stopped"}));
    EXPECT_EQ(events[1].fields, (Json{{"version", "9.8.7"}, {"library", "/scripted/libcashdrawer.so.0"},
                                      {"pollMs", 100}, {"drawers", Json::array({"A", "B"})}}));
    EXPECT_EQ(events[4].fields, (Json{{"reason", "asked to stop"}}));
    EXPECT_EQ(bench.told.size(), 5u);
}

// The journal refuses lines (RLIMIT_FSIZE: as a full disk): the agent
// serves on, says so in its health, tells nobody of an event the journal
// lacks, and journals what waited once it can, in order.
TEST(AgentJournalFailure, EventsWaitUnpublishedUntilTheJournalTakesThem) {
    AgentBench bench(Watching({{"A", 1}}));
    bench.drawers.readings["A"] = {0, 1, 0, 1};
    bench.Make();
    std::vector<std::string> healthSaid;
    bench.agent->OnHealthChange([&](const AgentHealth& health) {
        healthSaid.push_back(health.journalOk ? "ok" : "failing " + std::to_string(health.eventsWaiting));
    });
    bench.agent->Start();
    ASSERT_EQ(bench.told.size(), 2u);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit full = saved;
    full.rlim_cur = std::filesystem::file_size(JournalFilePath(bench.folder.path(), 1));
    ::setrlimit(RLIMIT_FSIZE, &full);
    bench.Polls(3);
    const KickAnswer kick = bench.agent->Kick("A", "console", false, 0);
    ::setrlimit(RLIMIT_FSIZE, &saved);

    EXPECT_EQ(kick.seq, 0u);
    EXPECT_EQ(bench.told.size(), 2u);
    const AgentHealth failing = bench.agent->Health();
    EXPECT_FALSE(failing.journalOk);
    EXPECT_NE(failing.journalFailure.find("journal-000001.jsonl"), std::string::npos) << failing.journalFailure;
    EXPECT_EQ(failing.eventsWaiting, 4u);

    bench.Polls(1);
    EXPECT_TRUE(bench.agent->Health().journalOk);
    EXPECT_EQ(healthSaid, (std::vector<std::string>{"failing 1", "ok"})); // once each way
    const auto events = ReadAll(bench.folder.path());
    EXPECT_EQ(KindsOf(events), (std::vector<std::string>{"agent-started", "closed", "opened", "closed", "opened",
                                                         "kick"}));
    ASSERT_EQ(bench.told.size(), events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(bench.told[i].seq, i + 1);
        EXPECT_EQ(bench.told[i].line, events[i].line);
    }
}

TEST(AgentJournalFailure, PastTheWaitingLimitTheOldestGoAndTheirNumberIsJournalled) {
    AgentBench bench(Watching({{"A", 1}}));
    std::deque<int> flapping;
    for (std::size_t i = 0; i < Agent::kMaxWaiting + 6; ++i) {
        flapping.push_back(static_cast<int>(i % 2));
    }
    bench.drawers.readings["A"] = flapping;
    bench.Make().Start(); // started, closed
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit full = saved;
    full.rlim_cur = std::filesystem::file_size(JournalFilePath(bench.folder.path(), 1));
    ::setrlimit(RLIMIT_FSIZE, &full);
    bench.Polls(static_cast<int>(Agent::kMaxWaiting) + 4);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(bench.agent->Health().eventsLost, 4u);
    EXPECT_EQ(bench.agent->Health().eventsWaiting, Agent::kMaxWaiting);

    bench.agent->Poll();
    const auto events = ReadAll(bench.folder.path());
    ASSERT_EQ(events.size(), 2 + 1 + Agent::kMaxWaiting + 1);
    EXPECT_EQ(events[2].kind, "events-lost");
    EXPECT_EQ(events[2].fields["count"], 4);
    // The first four changes went (opened, closed, opened, closed); the
    // fifth, an opening, is the first kept.
    EXPECT_EQ(events[3].kind, "opened");
    EXPECT_EQ(events[3].seq, 4u);
}

TEST(AgentRestart, SeqGoesOnAndTheStatisticsAddUpAcrossRuns) {
    TempFolder folder;
    VirtualAgentClock clock;
    ScriptedDrawers drawers;
    const AgentSettings settings = Watching({{"A", 1}}, 200);
    for (int run = 0; run < 2; ++run) {
        auto journal = OpenJournal(folder.path());
        Agent agent(settings, drawers, *journal, clock);
        drawers.readings["A"] = {0, 0, 1, 1, 1, 0};
        agent.Start();
        drawers.kickResult = 1;
        agent.Kick("A", "console", true, 100);
        for (int i = 0; i < 5; ++i) {
            clock.AdvanceMs(100);
            agent.Poll();
        }
        drawers.kickResult = 0;
        agent.Kick("A", "console", true, 100);
        drawers.kickResult = 1;
        agent.Kick("A", "console", false, 0);
        drawers.readings["A"] = {-2, -2, 0};
        for (int i = 0; i < 3; ++i) {
            clock.AdvanceMs(100);
            agent.Poll();
        }
        agent.Stop("asked to stop");
    }
    Statistics statistics;
    const auto events = ReadAll(folder.path());
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].seq, i + 1);
        statistics.Add(events[i]);
    }
    DrawerStatistics expected;
    expected.goodOpens = 2;
    expected.failedOpens = 2;
    expected.unconfirmedKicks = 2;
    expected.openings = 2;
    expected.openTotalMs = 600;
    expected.longestOpenMs = 300;
    expected.leftOpenAlarms = 2;
    expected.unreachablePeriods = 2;
    expected.unreachableTotalMs = 400;
    ASSERT_EQ(statistics.Drawers().count("A"), 1u);
    EXPECT_EQ(statistics.Drawers().at("A"), expected);
    EXPECT_EQ(statistics.ToJson()["drawers"]["A"]["DrawerGoodOpenCount"], 2);
    EXPECT_EQ(statistics.ToJson()["drawers"]["A"]["DrawerFailedOpenCount"], 2);
    EXPECT_EQ(statistics.LastSeq(), events.size());
}

// The serve loop on the virtual clock: polls keep their schedule whatever
// wakes the wait, and a console line is a kick.
class ScriptedWait final : public ServeWait {
public:
    explicit ScriptedWait(VirtualAgentClock& clock) : clock_(clock) {}
    Woken Wait(uint32_t ms, std::string& line) override {
        waits.push_back(ms);
        if (!lines.empty() && lines.front().first <= clock_.steadyMicros + ms * 1000) {
            clock_.steadyMicros = std::max<int64_t>(clock_.steadyMicros, lines.front().first);
            line = lines.front().second;
            lines.pop_front();
            return Woken::Line;
        }
        if (waits.size() >= stopAfter) {
            return Woken::Stop;
        }
        clock_.AdvanceMs(ms);
        return Woken::TimeUp;
    }
    std::vector<uint32_t> waits;
    std::deque<std::pair<int64_t, std::string>> lines;
    std::size_t stopAfter = 0;

private:
    VirtualAgentClock& clock_;
};

TEST(ServeLoop, PollsOnAFixedScheduleAndRunsConsoleKicks) {
    AgentBench bench(Watching({{"A", 1}}));
    bench.drawers.readings["A"] = {0};
    bench.Make().Start();
    const int64_t start = bench.clock.steadyMicros;
    ScriptedWait wait(bench.clock);
    wait.stopAfter = 5;
    wait.lines.push_back({start + 130'000, "open A --confirm --timeout 700"});
    wait.lines.push_back({start + 150'000, "dance"});
    std::vector<std::string> said;
    ServeLoop(*bench.agent, bench.clock, wait, 100, [&](const std::string& line) { said.push_back(line); });
    // 100 ms to the first poll; a line at 130 ms; the rest of the period
    // to 200 ms; the next line at 150 ms; 50 ms to 200; 100 to 300.
    EXPECT_EQ(wait.waits, (std::vector<uint32_t>{100, 100, 70, 50, 100}));
    EXPECT_EQ(bench.drawers.calls, std::vector<std::string>{"OpenCashConfirmed A 700"});
    ASSERT_EQ(said.size(), 2u);
    EXPECT_EQ(said[0], "open A: opened (1), seq 3");
    EXPECT_EQ(said[1], "no command \"dance\"; commands: open ID [--confirm] [--timeout MS] | status [ID] | stats | help");
}

// Standard input at its end (systemd's /dev/null) is forever readable: the
// wait stops reading it, or every wait would end at once.
TEST(ServeWaitPosix, StopsReadingAConsoleWhoseInputEnded) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, STDIN_FILENO);
        auto wait = MakeSystemServeWait(true);
        std::string line;
        const bool readBefore = wait->ReadsConsole();
        const auto woken = wait->Wait(50, line);
        ::_exit(readBefore && woken == ServeWait::Woken::TimeUp && !wait->ReadsConsole() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A kick that takes longer than several polls: the schedule starts anew
// from its end, with one poll then and the next a whole period later, not
// a burst of polls to catch up.
TEST(ServeLoop, AfterALongKickTheScheduleStartsAnew) {
    AgentBench bench(Watching({{"A", 1}}));
    bench.drawers.readings["A"] = {0};
    bench.Make().Start();
    const int64_t start = bench.clock.steadyMicros;
    bench.drawers.onKick = [&] { bench.clock.AdvanceMs(1000); };
    ScriptedWait wait(bench.clock);
    wait.stopAfter = 4;
    wait.lines.push_back({start + 130'000, "open A --confirm"});
    const int readsBefore = bench.drawers.reads;
    bench.drawers.readLimit = readsBefore + 10;
    ServeLoop(*bench.agent, bench.clock, wait, 100, [](const std::string&) {});
    // Waits: 100 to the first poll; 100 more, ended at 130 ms by the line;
    // the kick ends at 1130 ms: a poll, 100 to the next, then the stop.
    EXPECT_EQ(wait.waits, (std::vector<uint32_t>{100, 100, 100, 100}));
    // Reads: the poll at 100 ms, the kick's own read after it, the poll at
    // 1130 ms, the one at 1230 ms.
    EXPECT_EQ(bench.drawers.reads - readsBefore, 4);
}

// The console answers each command at once; a kick runs away from it (here
// held until the test lets it run), so commands typed meanwhile are answered
// before it ends.
TEST(ConsoleCommand, AnswersWhileAKickIsAtWorkAndSuggestsWhatWasMeant) {
    AgentBench bench(Watching({{"RN340_CashA", 1}, {"RN340_CashB", 1}}));
    bench.drawers.readings["RN340_CashA"] = {0};
    bench.drawers.readings["RN340_CashB"] = {1};
    bench.Make().Start();
    DrawerBoard board(Watching({{"RN340_CashA", 1}, {"RN340_CashB", 1}}).drawers);
    for (const JournalledEvent& event : ReadAll(bench.folder.path())) {
        board.Add(event);
    }
    std::vector<std::function<void()>> held;
    std::vector<std::string> said;
    int exclusiveSteps = 0;
    Console console(*bench.agent,
                    Console::Parts{[&](const std::function<void()>& step) { ++exclusiveSteps, step(); },
                                   [&] { return board.All(); }, [] { return std::string("figures\n"); },
                                   [&](std::function<void()> job) { held.push_back(std::move(job)); }},
                    [&](const std::string& line) { said.push_back(line); });
    const std::string help = "commands: open ID [--confirm] [--timeout MS] | status [ID] | stats | help";
    console.Run("open RN340_CashA --confirm --timeout 800");
    console.Run("status");
    console.Run("status RN340_CashB");
    console.Run("status RN340_Cash");
    console.Run("status Printer");
    console.Run("stats");
    console.Run("help");
    console.Run("opne RN340_CashA");
    console.Run("open RN340_CashA --loud");
    EXPECT_TRUE(bench.drawers.calls.empty()) << "the kick has not run yet";
    EXPECT_EQ(exclusiveSteps, 0);
    EXPECT_EQ(said, (std::vector<std::string>{
                        "RN340_CashA: closed (raw 0), since seq 2",
                        "RN340_CashB: open (raw 1), since seq 3",
                        "RN340_CashB: open (raw 1), since seq 3",
                        "status: RN340_Cash is not a drawer this agent watches: did you mean RN340_CashA or RN340_CashB?",
                        "status: Printer is not a drawer this agent watches (it watches RN340_CashA or RN340_CashB)",
                        "figures\n",
                        help,
                        "no command \"opne\": did you mean open?; " + help,
                        "open: " + help,
                    }));
    ASSERT_EQ(held.size(), 1u);
    held.front()();
    EXPECT_EQ(exclusiveSteps, 1);
    EXPECT_EQ(bench.drawers.calls, std::vector<std::string>{"OpenCashConfirmed RN340_CashA 800"});
    EXPECT_EQ(said.back(), "open RN340_CashA: opened (1), seq 4");
}

// The system's runner: each job on a thread of its own, all waited for.
TEST(ConsoleCommand, BackgroundJobsRunApartAndAreWaitedFor) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> done = 0;
    int runs = 0;
    {
        BackgroundJobs jobs;
        jobs.Run([&] { released.wait(); ++done; });
        jobs.Run([&] { ++done; }); // not held up by the first
        for (int i = 0; i < 2000 && done.load() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(done.load(), 1);
        EXPECT_EQ(jobs.Held(), 2u);
        release.set_value();
        jobs.Wait();
        EXPECT_EQ(done.load(), 2);
        EXPECT_EQ(jobs.Held(), 0u) << "all done: none held";
        // Short jobs, one a millisecond, until those done are seen let go:
        // no more than two held (the one just begun, one not yet seen done).
        // Without the letting go the count only grows; no time is bounded.
        do {
            jobs.Run([&] { ++done; });
            ++runs;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } while ((runs < 10 || jobs.Held() > 2) && runs < 2000);
        EXPECT_LE(jobs.Held(), 2u) << runs << " jobs run";
    } // the destructor waits for the last
    EXPECT_EQ(done.load(), 2 + runs);
}

TEST(ConsoleCommand, ParsesOnlyWellFormedKicks) {
    AgentBench bench(Watching({{"A", 1}}));
    bench.drawers.readings["A"] = {0};
    bench.Make().Start();
    std::string answer;
    for (const char* bad : {"", "open", "close A", "open A --timeout", "open A --loud"}) {
        EXPECT_FALSE(RunConsoleCommand(*bench.agent, bad, answer)) << bad;
    }
    EXPECT_TRUE(bench.drawers.calls.empty());
    EXPECT_TRUE(RunConsoleCommand(*bench.agent, "open A", answer));
    EXPECT_EQ(bench.drawers.calls, std::vector<std::string>{"OpenCash A"});
    EXPECT_EQ(answer, "open A: kicked (1), seq 3");
}

} // namespace
} // namespace cashdrawer::agent
