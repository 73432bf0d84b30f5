// The agent's local channel: what each request is answered, the bounds of
// what it takes (each tried beside the accepted value), the event stream's
// end, and the Unix socket that carries it.
#include "app/agent_app.h"
#include "app/local_channel.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

namespace cashdrawer::agent {
namespace {

// A client that sends one request and keeps every line it is answered.
class FakeConnection final : public LocalConnection {
public:
    explicit FakeConnection(std::optional<std::string> request) : request_(std::move(request)) {}
    bool ReadLine(std::string& line) override {
        line = request_.value_or("");
        return request_.has_value();
    }
    bool WriteLine(const std::string& line) override {
        if (written.size() >= writesBeforeLeaving) {
            return false;
        }
        written.push_back(line);
        return true;
    }
    bool WaitWhileConnected(const std::function<bool()>& stop) override {
        ++waits;
        while (!stop()) {
            if (onWait) {
                onWait();
            }
            if (leaveWhenWaiting) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    std::string Account() const override { return "till-tech"; }

    std::string Text() const {
        std::string text;
        for (const std::string& line : written) {
            text += line + "\n";
        }
        return text;
    }

    std::vector<std::string> written;
    std::size_t writesBeforeLeaving = SIZE_MAX;
    bool leaveWhenWaiting = false;
    std::function<void()> onWait;
    int waits = 0;

private:
    std::optional<std::string> request_;
};

struct Kick {
    std::string id;
    std::string by;
    bool confirm;
    int timeoutMs;
};

struct Fixture {
    std::vector<Kick> kicks;
    KickAnswer answer{1, "opened", "", 9};
    EventHub hub;
    LocalCommands commands{LocalCommands::Parts{
        [this](const std::string& id, const std::string& by, bool confirm, int timeoutMs) {
            kicks.push_back({id, by, confirm, timeoutMs});
            return answer;
        },
        [] {
            DrawerView a;
            a.id = "RN340_CashA";
            a.state = "open";
            a.raw = 1;
            a.reachable = true;
            a.lastSeq = 12;
            DrawerView b;
            b.id = "RN370_CashB";
            b.reason = "the port I/O library is missing";
            return std::vector<DrawerView>{a, b};
        },
        &hub}};

    FakeConnection Serve(std::optional<std::string> request) {
        FakeConnection connection(std::move(request));
        commands.Serve(connection);
        return connection;
    }
};

TEST(LocalCommands, EachRequestIsAnsweredWithItsLinesAndItsExitCode) {
    const struct {
        const char* request;
        const char* answer; // the whole answer
    } cases[] = {
        {"kick RN340_CashA", "out kick RN340_CashA: opened (seq 9)\nexit 0\n"},
        {"status", "out RN340_CashA: open (raw 1), since seq 12\n"
                   "out RN370_CashB: unreachable: the port I/O library is missing\nexit 0\n"},
        {"status RN370_CashB", "out RN370_CashB: unreachable: the port I/O library is missing\nexit 0\n"},
        {"status RN340_CashB", "out status: RN340_CashB is not a drawer this agent watches: did you mean RN340_CashA or "
                               "RN370_CashB?\nexit 1\n"},
        {"status RN340_CashA RN370_CashB", "out status: one drawer at most; the commands are: kick ID [--confirm] "
                                           "[--timeout MS] | status [ID] | events --follow\nexit 1\n"},
        {"kik RN340_CashA", "out no command \"kik\": did you mean kick?; the commands are: kick ID [--confirm] "
                            "[--timeout MS] | status [ID] | events --follow\nexit 1\n"},
        {"events", "out events: with --follow alone (the events as they come; journal show prints the past)\nexit 1\n"},
        {"events --follow --since 3", "out events: with --follow alone (the events as they come; journal show prints the "
                                      "past)\nexit 1\n"},
        {"kick", "out kick: which drawer? the commands are: kick ID [--confirm] [--timeout MS] | status [ID] | "
                 "events --follow\nexit 1\n"},
        {"", "out no command \"\"; the commands are: kick ID [--confirm] [--timeout MS] | status [ID] | events "
             "--follow\nexit 1\n"},
    };
    for (const auto& c : cases) {
        Fixture fixture;
        EXPECT_EQ(fixture.Serve(c.request).Text(), c.answer) << c.request;
    }
}

TEST(LocalCommands, AKickIsAskedAsTheLocalAccountWithItsOptionsWithinTheirBounds) {
    const struct {
        const char* request;
        bool taken;
        bool confirm;
        int timeoutMs;
    } cases[] = {
        {"kick RN340_CashA", true, false, 5000},
        {"kick RN340_CashA --confirm", true, true, 5000},
        {"kick RN340_CashA --confirm --timeout 60000", true, true, 60000},
        {"kick RN340_CashA --timeout 0 --confirm", true, true, 0},
        {"kick RN340_CashA --confirm --timeout 60001", false, false, 0},
        {"kick RN340_CashA --confirm --timeout -1", false, false, 0},
        {"kick RN340_CashA --confirm --timeout 1000x", false, false, 0},
        {"kick RN340_CashA --confirm --timeout", false, false, 0},
        {"kick RN340_CashA --confirmed", false, false, 0},
    };
    for (const auto& c : cases) {
        Fixture fixture;
        const FakeConnection connection = fixture.Serve(c.request);
        if (!c.taken) {
            EXPECT_TRUE(fixture.kicks.empty()) << c.request;
            EXPECT_EQ(connection.written.back(), "exit 1") << c.request;
            EXPECT_NE(connection.Text().find("is not taken here (--confirm, --timeout MS up to 60000)"), std::string::npos)
                << connection.Text();
            continue;
        }
        ASSERT_EQ(fixture.kicks.size(), 1u) << c.request;
        EXPECT_EQ(fixture.kicks[0].id, "RN340_CashA");
        EXPECT_EQ(fixture.kicks[0].by, "local:till-tech");
        EXPECT_EQ(fixture.kicks[0].confirm, c.confirm) << c.request;
        EXPECT_EQ(fixture.kicks[0].timeoutMs, c.timeoutMs) << c.request;
    }
}

// Only a kick that opened or was sent is a success; the library's words
// and the journal's seq (or that there is none) are said.
TEST(LocalCommands, AKickThatDidNotOpenEndsWithItsOwnCode) {
    const struct {
        KickAnswer answer;
        const char* said;
        const char* exit;
    } cases[] = {
        {{1, "kicked", "", 4}, "out kick RN340_CashA: kicked (seq 4)", "exit 0"},
        {{0, "not-opened", "", 5}, "out kick RN340_CashA: not-opened (seq 5)", "exit 14"},
        {{-2, "unreachable", "no port I/O", 6}, "out kick RN340_CashA: unreachable: no port I/O (seq 6)", "exit 14"},
        {{1, "opened", "", 0}, "out kick RN340_CashA: opened (not journalled)", "exit 0"},
    };
    for (const auto& c : cases) {
        Fixture fixture;
        fixture.answer = c.answer;
        const FakeConnection connection = fixture.Serve("kick RN340_CashA --confirm");
        ASSERT_EQ(connection.written.size(), 2u);
        EXPECT_EQ(connection.written[0], c.said);
        EXPECT_EQ(connection.written[1], c.exit);
    }
}

TEST(LocalCommands, ARequestThatDidNotComeWholeIsRefused) {
    Fixture fixture;
    const FakeConnection connection = fixture.Serve(std::nullopt);
    EXPECT_EQ(connection.Text(), "out the request did not come as one line of at most 512 bytes\nexit 1\n");
}

// The stream hands each event published after it began, in order, and
// ends when the client goes, when the agent stops, or when the client
// reads too slowly to keep up (never holding more than its bound).
TEST(LocalCommands, EventsFollowUntilTheClientGoesOrTheAgentStops) {
    Fixture fixture;
    JournalledEvent before{1, "2026-12-09T10:00:00.000Z", "closed", {{"drawer", "RN340_CashA"}}, ""};
    fixture.hub.Publish(before);
    FakeConnection connection("events --follow");
    int published = 0;
    connection.onWait = [&] {
        if (published < 2) {
            ++published;
            fixture.hub.Publish({1u + published, "2026-12-09T10:00:01.000Z", "opened", {{"drawer", "RN340_CashA"}}, ""});
        } else {
            fixture.commands.Stop();
        }
    };
    fixture.commands.Serve(connection);
    EXPECT_EQ(connection.Text(), "out following the agent's events (Ctrl+C ends)\n"
                                 "out seq 2  2026-12-09T10:00:01.000Z  opened  drawer=RN340_CashA\n"
                                 "out seq 3  2026-12-09T10:00:01.000Z  opened  drawer=RN340_CashA\n"
                                 "exit 0\n");
    EXPECT_EQ(fixture.hub.Subscribers(), 0u);

    Fixture left;
    FakeConnection leaving("events --follow");
    leaving.leaveWhenWaiting = true;
    left.commands.Serve(leaving);
    EXPECT_EQ(leaving.waits, 1);
    EXPECT_EQ(left.hub.Subscribers(), 0u);

    // 1,024 events queued are kept; the 1,025th ends the stream.
    for (const int events : {1024, 1025}) {
        Fixture slow;
        FakeConnection reader("events --follow");
        bool burst = false;
        reader.onWait = [&] {
            if (!burst) {
                burst = true;
                for (int i = 1; i <= events; ++i) {
                    slow.hub.Publish({static_cast<uint64_t>(i), "t", "opened", Json::object(), ""});
                }
            } else {
                slow.commands.Stop();
            }
        };
        slow.commands.Serve(reader);
        const bool overflowed = reader.Text().find("the events came faster than they were read") != std::string::npos;
        EXPECT_EQ(overflowed, events == 1025) << events;
        EXPECT_EQ(reader.written.back(), events == 1025 ? "exit 14" : "exit 0") << events;
        EXPECT_EQ(reader.written.size(), events == 1025 ? 3u : 1u + 1024u + 1u) << events;
    }
}

// The client's reading: "out" lines printed as they come whole, the exit
// line's code, and a code no agent sends taken as no agent.
TEST(LocalClient, TakesTheAnswerLineByLine) {
    const struct {
        const char* pending;
        std::optional<int> code;
        const char* printed;
        const char* left;
    } cases[] = {
        {"out a\nout b\nexit 0\n", 0, "a\nb\n", ""},
        {"out a\nout b", std::nullopt, "a\n", "out b"},
        {"exit 14\nout after\n", 14, "", "out after\n"},
        {"exit 99\n", 99, "", ""},
        {"exit 100\n", kExitNoAgent, "", ""},
        {"exit -1\n", kExitNoAgent, "", ""},
        {"exit \n", kExitNoAgent, "", ""},
        {"exit 1", std::nullopt, "", "exit 1"},
        {"noise\nout x\n", std::nullopt, "x\n", ""},
    };
    for (const auto& c : cases) {
        std::string pending = c.pending;
        std::ostringstream out;
        EXPECT_EQ(TakeAnswerLines(pending, out), c.code) << c.pending;
        EXPECT_EQ(out.str(), c.printed) << c.pending;
        EXPECT_EQ(pending, c.left) << c.pending;
    }
}

// The socket itself: mode 0600 in the folder, a request answered through
// it, a stale socket replaced, anything else at its path left alone, and
// a path too long for a Unix socket refused with its length.
TEST(LocalChannelSocket, ServesThroughASocketOnlyItsOwnerMayOpen) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                         ("cashdrawer-local-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    Fixture fixture;
    const std::string address = LocalChannelAddress(folder.string());
    EXPECT_EQ(address, (folder / "cashdrawer-agent.sock").string());
    std::string error;
    {
        // A socket left as by an agent that was killed: bound, never removed.
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un where{};
        where.sun_family = AF_UNIX;
        std::memcpy(where.sun_path, address.c_str(), address.size() + 1);
        ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(&where), sizeof where), 0);
        ::close(stale);
        auto channel = StartLocalChannel(address, fixture.commands, error);
        ASSERT_TRUE(channel) << error;
        struct stat found {};
        ASSERT_EQ(::stat(address.c_str(), &found), 0);
        EXPECT_TRUE(S_ISSOCK(found.st_mode));
        EXPECT_EQ(found.st_mode & 0777, 0600u);
        std::ostringstream out, err;
        EXPECT_EQ(RunLocalCommand(address, "kick RN340_CashA --confirm", out, err), kExitOk) << err.str();
        EXPECT_EQ(out.str(), "kick RN340_CashA: opened (seq 9)\n");
        ASSERT_EQ(fixture.kicks.size(), 1u);
        EXPECT_TRUE(fixture.kicks[0].by.starts_with("local:")) << fixture.kicks[0].by;
        if (::getuid() == 0) {
            EXPECT_EQ(fixture.kicks[0].by, "local:root");
        }
        // A follower that goes lets go of the agent's events while nothing
        // happens (its end is seen, not only the next write's failure).
        const int follower = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(::connect(follower, reinterpret_cast<const sockaddr*>(&where), sizeof where), 0);
        const std::string request = "events --follow\n";
        ASSERT_EQ(::send(follower, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
        char answer[64] = {};
        ASSERT_GT(::recv(follower, answer, sizeof answer - 1, 0), 0);
        EXPECT_EQ(std::string(answer).rfind("out following", 0), 0u) << answer;
        EXPECT_EQ(fixture.hub.Subscribers(), 1u);
        ::close(follower);
        for (int waited = 0; waited < 1000 && fixture.hub.Subscribers() != 0; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(fixture.hub.Subscribers(), 0u) << "the follower's end was not seen in 10 s";
        std::ostringstream none, why;
        EXPECT_EQ(RunLocalCommand(address, "status RN340_CashB", none, why), kExitUsage);
        EXPECT_NE(none.str().find("did you mean RN340_CashA"), std::string::npos) << none.str();
    }
    EXPECT_FALSE(std::filesystem::exists(address)) << "the channel's end takes its socket away";
    std::ostringstream out, err;
    EXPECT_EQ(RunLocalCommand(address, "status", out, err), kExitNoAgent);
    EXPECT_NE(err.str().find("no agent answers here"), std::string::npos) << err.str();

    // A file of another kind where the socket goes is not removed.
    { std::ofstream(address) << "not a socket"; }
    EXPECT_FALSE(StartLocalChannel(address, fixture.commands, error));
    EXPECT_EQ(error, address + " is there and is no socket: the local channel is not opened");
    EXPECT_TRUE(std::filesystem::is_regular_file(address));
    std::filesystem::remove_all(folder);

    // 107 bytes fit a socket's path, 108 do not.
    const std::string longest = "/tmp/" + std::string(102, 'x');
    ASSERT_EQ(longest.size(), 107u);
    auto fits = StartLocalChannel(longest, fixture.commands, error);
    EXPECT_TRUE(fits) << error;
    fits.reset();
    EXPECT_FALSE(StartLocalChannel(longest + "y", fixture.commands, error));
    EXPECT_NE(error.find("longer than a Unix socket's 107 bytes"), std::string::npos) << error;
}

} // namespace
} // namespace cashdrawer::agent
