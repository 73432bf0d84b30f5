// The bridge's HTTP server on a free loopback port, spoken to over real
// sockets: the size limits, a client that trickles its bytes, the cap on
// connections, and the event stream's replay-then-live order.
#include "watch/agent.h"
#include "agent_test_support.h"
#include "bridge/bridge.h"
#include "watch/event_hub.h"
#include "bridge/http_server.h"
#include "bridge/bridge_service.h"
#include "bridge/pairing.h"
#include "watch/statistics_keeper.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace cashdrawer::agent::testing {
namespace {

// One client connection; every read waits at most `timeoutMs`.
class Client {
public:
    explicit Client(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(fd_); }
    bool Connected() const { return connected_; }
    bool Send(const std::string& bytes) { return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size()); }
    // What arrives until `until` is in it, the peer closes, or the time is up.
    std::string ReadUntil(const std::string& until, int timeoutMs = 3000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (received_.find(until) == std::string::npos && !closed_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd ready{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            char chunk[4096];
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0) {
                closed_ = true;
            } else {
                received_.append(chunk, static_cast<std::size_t>(got));
            }
        }
        return received_;
    }
    bool ClosedByPeer(int timeoutMs = 3000) {
        ReadUntil(std::string(1, '\0') + "never", timeoutMs);
        return closed_;
    }

private:
    int fd_;
    bool connected_ = false;
    bool closed_ = false;
    std::string received_;
};

class QuietBackend final : public BridgeBackend {
public:
    std::vector<DrawerView> Drawers() override { return {DrawerView{"A", "closed", 0, true, "", 1}}; }
    KickAnswer Kick(const std::string&, const std::string&, bool, int, const KickNote&) override {
        ++kicksStarted;
        std::this_thread::sleep_for(kickTakes); // a confirmed kick waits for the sensor
        ++kicksFinished;
        return KickAnswer{1, "kicked", "", 9};
    }
    std::chrono::milliseconds kickTakes{0};
    std::atomic<int> kicksStarted{0};
    std::atomic<int> kicksFinished{0};
    Json Statistics() override {
        if (statisticsFail) {
            throw std::runtime_error("the journal's folder is gone");
        }
        return Json::object();
    }
    std::string LibraryVersion() override { return "0.2.0"; }
    bool statisticsFail = false;
};

// `lineBytes`: a line of that many bytes instead (to fill a socket).
JournalledEvent Numbered(uint64_t seq, std::size_t lineBytes = 0) {
    JournalledEvent event;
    event.seq = seq;
    event.kind = "opened";
    event.line = lineBytes == 0 ? "{\"seq\":" + std::to_string(seq) + "}" : std::string(lineBytes, 'x');
    return event;
}

// A journal of `journalled` numbered events, read the way a stream reads
// the agent's: a batch after a seq, and the newest seq.
class CountingReader final : public JournalReader {
public:
    CountingReader(const std::atomic<uint64_t>& journalled, const std::function<void()>& during, const std::size_t& lineBytes,
                   std::atomic<int>& reads, uint64_t brokenAfter = UINT64_MAX)
        : journalled_(journalled), during_(during), lineBytes_(lineBytes), reads_(reads), brokenAfter_(brokenAfter) {}
    std::size_t Read(uint64_t after, std::size_t max, const std::function<void(const JournalledEvent&)>& each) override {
        ++reads_;
        if (during_) {
            during_();
        }
        std::size_t handed = 0;
        for (uint64_t seq = after + 1; seq <= journalled_ && handed < max; ++seq, ++handed) {
            if (seq > brokenAfter_) {
                broken_ = true;
                break;
            }
            each(Numbered(seq, lineBytes_));
        }
        return handed;
    }
    uint64_t NewestSeq() override {
        if (during_) {
            during_();
        }
        return journalled_;
    }
    std::string Problem() override { return broken_ ? "journal-000001.jsonl: seq 4 does not follow seq 3 in the chain" : ""; }

private:
    const std::atomic<uint64_t>& journalled_;
    const std::function<void()>& during_;
    const std::size_t& lineBytes_; // the fixture's, as it is at each read
    std::atomic<int>& reads_;
    uint64_t brokenAfter_; // the lines after it do not follow
    bool broken_ = false;
};

// The ids a stream sent, in the order sent.
std::vector<uint64_t> IdsOf(const std::string& text) {
    std::vector<uint64_t> ids;
    for (std::size_t at = text.find("\nid: "); at != std::string::npos; at = text.find("\nid: ", at + 1)) {
        ids.push_back(std::stoull(text.substr(at + 5, 20)));
    }
    return ids;
}

// What an event stream sent past its headers.
std::string BodyOfStream(const std::string& text) { return text.substr(text.find("\r\n\r\n") + 4); }

class HttpServerTest : public ::testing::Test {
protected:
    void Serve(HttpServerOptions options) {
        options.port = 0;
        server = std::make_unique<HttpServer>(
            options, bridge, hub,
            [this] { return std::make_unique<CountingReader>(journalled, duringReplay, lineBytes, journalReads, brokenAfter); },
            [](const std::string&) {});
        std::string error;
        ASSERT_TRUE(server->Start(error)) << error;
        hub.StartAt(journalled); // as the agent's bridge does, before the agent's first event
        bridge.SetPort(server->Port());
        std::string ignored;
        const auto code = IssuePairingCode(store, clock.UnixMillis(), ignored);
        token = desk.Pair("https://till.example", *code, clock.UnixMillis(), clock.UnixMillis()).token;
    }
    std::string Get(const std::string& path, const std::string& extra = "") {
        return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->Port()) +
               "\r\nOrigin: https://till.example\r\n" + extra + "\r\n";
    }

    void PileUpOnAStreamThatStopsReading(const HttpServerOptions& options);
    void NewStreamGetsEveryEventFromItsSubscriptionOn(bool agentPublishedBefore);

    void ServeBeatingEvery(std::chrono::milliseconds heartbeat) {
        HttpServerOptions options;
        options.heartbeat = heartbeat;
        Serve(options);
    }
    std::string EventsRequest() { return Get("/v1/events", "Authorization: Bearer " + token + "\r\n"); }

    // A confirmed kick of drawer A by the paired till, as it goes on the wire.
    std::string ConfirmedKick() {
        const std::string body = R"({"confirm": true})";
        return "POST /v1/drawers/A/open HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->Port()) +
               "\r\nOrigin: https://till.example\r\nAuthorization: Bearer " + token +
               "\r\nContent-Type: application/json\r\nIdempotency-Key: k1\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    }

    // The stream subscribes once its request is read, on the server's thread.
    // (The waits end as soon as their condition holds; their 10 s bound is
    // room for a machine with every core busy, not a figure.)
    void WaitForSubscriber() {
        for (int i = 0; i < 1000 && hub.Subscribers() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // A stream's end reaches the hub on the server's thread too.
    void WaitForNoSubscriber() {
        for (int i = 0; i < 1000 && (hub.Subscribers() > 0 || server->Connections() > 0); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    VirtualAgentClock clock;
    MemoryPairingStore store;
    PairingDesk desk{store};
    QuietBackend backend;
    Bridge bridge{BridgeSettings{0, 1000}, backend, desk, [this] { return clock.SteadyMicros(); }, [this] { return clock.UnixMillis(); }};
    EventHub hub;
    // The agent's order: the journal has the event, then it is published.
    void JournalAndPublish(uint64_t seq) {
        journalled = seq;
        hub.Publish(Numbered(seq, lineBytes));
    }

    std::atomic<uint64_t> journalled{0};
    std::size_t lineBytes = 0;
    std::atomic<int> journalReads{0};
    uint64_t brokenAfter = UINT64_MAX; // the journal reads no further (set before Serve)
    std::function<void()> duringReplay; // runs inside each journal read (set before the stream starts)
    std::unique_ptr<HttpServer> server;
    std::string token;
};

TEST_F(HttpServerTest, OversizedHeadersAndBodiesAreRefusedAndOthersServed) {
    Serve({});
    Client headers(server->Port());
    headers.Send(Get("/v1/health", "X-Filler: " + std::string(9000, 'x') + "\r\n"));
    const std::string refused = headers.ReadUntil("\r\n\r\n");
    EXPECT_EQ(refused.substr(0, 12), "HTTP/1.1 431");
    // The rest of those headers would be read as a request: the answer
    // says the connection ends with it.
    EXPECT_NE(refused.find("Connection: close\r\n"), std::string::npos) << refused;
    // A head that has not ended when a head and a body at their limits
    // would have: the same refusal.
    Client endless(server->Port());
    endless.Send(Get("/v1/health", "X-Filler: " + std::string(20000, 'x') + "\r\n"));
    EXPECT_EQ(endless.ReadUntil("\r\n").substr(0, 12), "HTTP/1.1 431");
    // The body left unread is never taken for a next request: the answer
    // closes the connection, so a request hidden in it gets no answer.
    Client body(server->Port());
    const std::string hidden = Get("/v1/health");
    body.Send("POST /v1/pair HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->Port()) +
              "\r\nOrigin: https://till.example\r\nContent-Type: application/json\r\nContent-Length: 4097\r\n\r\n" +
              hidden + std::string(4097 - hidden.size(), 'x'));
    EXPECT_EQ(body.ReadUntil("\r\n").substr(0, 12), "HTTP/1.1 413");
    EXPECT_TRUE(body.ClosedByPeer());
    const std::string all = body.ReadUntil("never");
    EXPECT_EQ(all.find("HTTP/1.1 200"), std::string::npos) << all;
    Client fine(server->Port());
    fine.Send(Get("/v1/health"));
    const std::string answer = fine.ReadUntil("\"paired\":true}");
    EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK") << answer;
    EXPECT_NE(answer.find("Cache-Control: no-store"), std::string::npos) << answer;
    // No cookie, ever: a browser would send it along with any page's request.
    EXPECT_EQ(answer.find("Set-Cookie"), std::string::npos) << answer;
    EXPECT_EQ(answer.find("set-cookie"), std::string::npos) << answer;
}

// A body whose length is in doubt is never framed by a guess (a request
// smuggled behind it would be read as the next): RFC 9112's 400 and a
// close. Next to each refusal, the framing that is taken.
TEST_F(HttpServerTest, ABodyFramedAmbiguouslyIsRefusedAndTheConnectionClosed) {
    Serve({});
    const struct {
        const char* framing;
        const char* body;
        bool taken;
    } rows[] = {
        {"Content-Length: 2\r\n", "{}", true},
        {"Transfer-Encoding: chunked\r\n", "2\r\n{}\r\n0\r\n\r\n", true},
        {"Transfer-Encoding: xchunked\r\nContent-Length: 2\r\n", "{}", false},
        {"Transfer-Encoding: identity\r\nContent-Length: 2\r\n", "{}", false},
        {"Transfer-Encoding: chunked, identity\r\nContent-Length: 2\r\n", "{}", false},
        {"Transfer-Encoding: chunked\r\nContent-Length: 2\r\n", "2\r\n{}\r\n0\r\n\r\n", false},
        {"Transfer-Encoding: identity\r\nTransfer-Encoding: chunked\r\n", "2\r\n{}\r\n0\r\n\r\n", false},
        {"X-Note: a b\r\nContent-Length: 2\r\n", "{}", true},
        {"X-Note: a\r\n b\r\nContent-Length: 2\r\n", "{}", false}, // a header folded over two lines
        {"X-Note: a\r\n\tb\r\nContent-Length: 2\r\n", "{}", false},
    };
    int key = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.framing);
        clock.AdvanceMs(2000); // past the drawer's guard time
        const int kicksBefore = backend.kicksStarted.load();
        Client client(server->Port());
        client.Send("POST /v1/drawers/A/open HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->Port()) +
                    "\r\nOrigin: https://till.example\r\nAuthorization: Bearer " + token +
                    "\r\nContent-Type: application/json\r\nIdempotency-Key: k" + std::to_string(++key) + "\r\n" +
                    row.framing + "\r\n" + row.body);
        const std::string answer = client.ReadUntil("\r\n");
        EXPECT_EQ(answer.substr(0, 12), row.taken ? "HTTP/1.1 200" : "HTTP/1.1 400") << answer;
        if (!row.taken) {
            EXPECT_TRUE(client.ClosedByPeer());
            EXPECT_EQ(backend.kicksStarted.load(), kicksBefore) << "nothing kicked";
        }
    }
}

// Requests sent one behind the other in one write (pipelined): each is
// answered once, in order, whatever the head reading took of the next.
TEST_F(HttpServerTest, PipelinedRequestsAreEachAnsweredOnceInOrder) {
    Serve({});
    Client client(server->Port());
    client.Send(Get("/v1/health") + Get("/v1/nothing") + Get("/v1/pair") + Get("/v1/health") +
                Get("/v1/pair", "Connection: close\r\n"));
    EXPECT_TRUE(client.ClosedByPeer());
    const std::string all = client.ReadUntil("never", 0);
    std::vector<std::string> statuses;
    for (std::size_t at = all.find("HTTP/1.1 "); at != std::string::npos; at = all.find("HTTP/1.1 ", at + 1)) {
        statuses.push_back(all.substr(at + 9, 3));
    }
    EXPECT_EQ(statuses, (std::vector<std::string>{"200", "401", "405", "200", "405"})) << all;
}

TEST_F(HttpServerTest, AClientThatTricklesItsRequestIsCutOffWithoutStallingOthers) {
    HttpServerOptions options;
    options.requestTime = std::chrono::milliseconds(300);
    Serve(options);
    Client slow(server->Port());
    const std::string request = Get("/v1/health");
    std::size_t sent = 0;
    bool cutOff = false;
    for (; sent < request.size() && !cutOff; ++sent) {
        slow.Send(request.substr(sent, 1));
        if (sent == 3) {
            // Meanwhile another page is served at once.
            Client other(server->Port());
            other.Send(Get("/v1/health"));
            EXPECT_EQ(other.ReadUntil("\r\n").substr(0, 15), "HTTP/1.1 200 OK");
        }
        cutOff = slow.ClosedByPeer(100);
    }
    EXPECT_TRUE(cutOff) << "sent all " << request.size() << " bytes, a byte every 100 ms";
    EXPECT_LT(sent, request.size());
}

// The request's time limit is for the request: an answer that took longer
// to work out (a confirmed kick waiting for the drawer) still goes out.
TEST_F(HttpServerTest, AnAnswerSlowerThanTheRequestsTimeStillGoesOut) {
    HttpServerOptions options;
    options.requestTime = std::chrono::milliseconds(150);
    Serve(options);
    backend.kickTakes = std::chrono::milliseconds(400);
    Client till(server->Port());
    till.Send(ConfirmedKick());
    const std::string answer = till.ReadUntil("\"seq\":9");
    EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK") << answer;
}

// The agent tears the drawers down after the server's stop: a kick still
// at work then would touch them, so the stop waits for it to end.
// A stop gives the port back at once, not when the server object goes: an
// agent that stops its bridge and starts another (a restart of the
// service in one process) must find the port free.
TEST_F(HttpServerTest, AStopGivesThePortBack) {
    Serve({});
    const uint16_t port = server->Port();
    EXPECT_TRUE(Client(port).Connected());
    server->Stop();
    EXPECT_FALSE(Client(port).Connected()) << "still listening on " << port;
}

TEST_F(HttpServerTest, AStopWaitsForAKickAtWork) {
    Serve({});
    backend.kickTakes = std::chrono::milliseconds(300);
    Client till(server->Port());
    till.Send(ConfirmedKick());
    for (int i = 0; i < 300 && backend.kicksStarted == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(backend.kicksStarted, 1);
    server->Stop();
    EXPECT_EQ(backend.kicksFinished, 1);
}

// Streams reading the journal never hold a kick up: with every journal
// reader held inside a read, a kick and the statistics are answered, and
// the streams go on once the reads end.
TEST_F(HttpServerTest, AKickIsAnsweredWhileEveryJournalReaderIsHeld) {
    journalled = 3;
    Serve({});
    std::atomic<int> held{0};
    std::atomic<bool> release{false};
    duringReplay = [&] {
        ++held;
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    std::vector<std::unique_ptr<Client>> streams;
    for (int i = 0; i < 6; ++i) {
        streams.push_back(std::make_unique<Client>(server->Port()));
        streams.back()->Send(Get("/v1/events", "Authorization: Bearer " + token + "\r\nLast-Event-ID: 0\r\n"));
    }
    for (int i = 0; i < 1000 && held < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(held, 2) << "every reading thread is held";
    Client till(server->Port());
    till.Send(ConfirmedKick());
    EXPECT_EQ(till.ReadUntil("\r\n").substr(0, 15), "HTTP/1.1 200 OK");
    Client figures(server->Port());
    figures.Send(Get("/v1/statistics", "Authorization: Bearer " + token + "\r\n"));
    EXPECT_EQ(figures.ReadUntil("\r\n").substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_FALSE(release) << "answered while the reads were held";
    release = true;
    for (auto& stream : streams) {
        EXPECT_NE(stream->ReadUntil("id: 3\n").find("id: 1\n"), std::string::npos);
    }
}

// The bridge serves with these: the figures the README gives integrators.
TEST(HttpServerOptions, TheBridgesBoundsAreTheOnesIntegratorsAreToldOf) {
    const HttpServerOptions bridge;
    EXPECT_EQ(bridge.maxConnections, 64u);
    EXPECT_EQ(bridge.requestTime, std::chrono::seconds(5));
    EXPECT_EQ(bridge.idleTime, std::chrono::seconds(30));
    EXPECT_EQ(bridge.heartbeat, std::chrono::seconds(15));
    EXPECT_EQ(bridge.maxQueuedEvents, 4096u);
}

TEST_F(HttpServerTest, PastTheConnectionCapANewConnectionIsClosedAtOnce) {
    HttpServerOptions options;
    options.maxConnections = 3;
    Serve(options);
    std::vector<std::unique_ptr<Client>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<Client>(server->Port()));
        held.back()->Send(Get("/v1/health"));
        held.back()->ReadUntil("}"); // served, and kept open
    }
    EXPECT_EQ(server->Connections(), 3u);
    Client fourth(server->Port());
    EXPECT_TRUE(fourth.ClosedByPeer());
    held.pop_back(); // one leaves: there is room again
    for (int i = 0; i < 100 && server->Connections() > 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Client fifth(server->Port());
    fifth.Send(Get("/v1/health"));
    EXPECT_EQ(fifth.ReadUntil("\r\n").substr(0, 15), "HTTP/1.1 200 OK");
}

TEST_F(HttpServerTest, TheEventStreamGivesThePastAfterLastEventIdThenTheLiveEventsEachOnce) {
    journalled = 3;
    Serve({});
    Client stream(server->Port());
    stream.Send(Get("/v1/events", "Authorization: Bearer " + token + "\r\nLast-Event-ID: 1\r\n"));
    EXPECT_NE(stream.ReadUntil("id: 3\n").find("id: 3\n"), std::string::npos);
    WaitForSubscriber();
    hub.Publish(Numbered(3)); // already given from the journal
    JournalAndPublish(4);
    const std::string text = stream.ReadUntil("id: 4\n");
    EXPECT_EQ(text.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_NE(text.find("Content-Type: text/event-stream"), std::string::npos);
    EXPECT_NE(text.find("Access-Control-Allow-Origin: https://till.example"), std::string::npos);
    const std::string events = BodyOfStream(text);
    EXPECT_EQ(events, "retry: 1000\n\n"
                      "id: 2\nevent: opened\ndata: {\"seq\":2}\n\n"
                      "id: 3\nevent: opened\ndata: {\"seq\":3}\n\n"
                      "id: 4\nevent: opened\ndata: {\"seq\":4}\n\n");
}

// An event journalled while the stream reads the journal's past waits for
// that past: the page gets 3, 4 and then 5, never 5 first.
TEST_F(HttpServerTest, ALiveEventDuringTheReplayComesAfterThePast) {
    journalled = 4;
    Serve({});
    duringReplay = [this] {
        if (journalled == 4) { // the first read only
            journalled = 5;
            hub.Publish(Numbered(5));
        }
    };
    Client stream(server->Port());
    stream.Send(Get("/v1/events", "Authorization: Bearer " + token + "\r\nLast-Event-ID: 2\r\n"));
    const std::string text = stream.ReadUntil("data: {\"seq\":5}\n\n");
    EXPECT_EQ(BodyOfStream(text), "retry: 1000\n\n"
                                                      "id: 3\nevent: opened\ndata: {\"seq\":3}\n\n"
                                                      "id: 4\nevent: opened\ndata: {\"seq\":4}\n\n"
                                                      "id: 5\nevent: opened\ndata: {\"seq\":5}\n\n");
}

// A DNS-rebinding page names its own host: no stream, whatever its token.
TEST_F(HttpServerTest, AnEventStreamForAnotherHostIsRefused) {
    Serve({});
    Client stream(server->Port());
    stream.Send("GET /v1/events HTTP/1.1\r\nHost: rebind.example:" + std::to_string(server->Port()) +
                "\r\nOrigin: https://till.example\r\nAuthorization: Bearer " + token + "\r\n\r\n");
    EXPECT_EQ(stream.ReadUntil("\r\n").substr(0, 12), "HTTP/1.1 403");
    EXPECT_EQ(hub.Subscribers(), 0u);
}

// A new stream (no Last-Event-ID) starts where the agent was when it
// subscribed: an event journalled while its start is read reaches it (a
// kick right after a page opens its stream), nothing older does, whether
// or not the agent had published an event since its start.
void HttpServerTest::NewStreamGetsEveryEventFromItsSubscriptionOn(bool agentPublishedBefore) {
    journalled = agentPublishedBefore ? 4 : 5;
    Serve({});
    if (agentPublishedBefore) {
        JournalAndPublish(5);
    }
    duringReplay = [this] {
        if (journalled == 5) {
            JournalAndPublish(6);
        }
    };
    Client stream(server->Port());
    stream.Send(Get("/v1/events", "Authorization: Bearer " + token + "\r\n"));
    stream.ReadUntil("retry: 1000\n\n");
    WaitForSubscriber();
    JournalAndPublish(7);
    const std::string text = stream.ReadUntil("id: 7\n");
    EXPECT_EQ(BodyOfStream(text), "retry: 1000\n\n"
                                  "id: 6\nevent: opened\ndata: {\"seq\":6}\n\n"
                                  "id: 7\nevent: opened\ndata: {\"seq\":7}\n\n");
    duringReplay = nullptr;
    server.reset();
}

TEST_F(HttpServerTest, ANewStreamGetsEveryEventFromItsSubscriptionOnAndNoOlder) {
    NewStreamGetsEveryEventFromItsSubscriptionOn(true);
}

TEST_F(HttpServerTest, ANewStreamBeforeTheAgentsFirstEventStartsAtTheJournalsEnd) {
    NewStreamGetsEveryEventFromItsSubscriptionOn(false);
}

// A live event that does not follow the last one sent (one published while
// the stream went live, an alarm's jump) sends the stream to the journal,
// which has every seq: the page gets 6 before 7, each once.
TEST_F(HttpServerTest, ALiveEventThatDoesNotFollowSendsTheStreamToTheJournal) {
    journalled = 5;
    Serve({});
    Client stream(server->Port());
    stream.Send(Get("/v1/events", "Authorization: Bearer " + token + "\r\nLast-Event-ID: 4\r\n"));
    stream.ReadUntil("id: 5\n");
    WaitForSubscriber();
    journalled = 6; // in the journal, never published live
    JournalAndPublish(7);
    JournalAndPublish(8);
    EXPECT_EQ(IdsOf(stream.ReadUntil("id: 8\n")), (std::vector<uint64_t>{5, 6, 7, 8}));
}

// A journal that cannot be read past a line: the stream gives what comes
// before it, says why it stops, and ends (the page reconnects and meets
// the same, while verify and the alarms tell the technician).
TEST_F(HttpServerTest, AStreamThatMeetsALineNotAsWrittenSaysSoAndEnds) {
    journalled = 5;
    brokenAfter = 3;
    Serve({});
    Client stream(server->Port());
    stream.Send(Get("/v1/events", "Authorization: Bearer " + token + "\r\nLast-Event-ID: 1\r\n"));
    EXPECT_TRUE(stream.ClosedByPeer());
    EXPECT_EQ(BodyOfStream(stream.ReadUntil("")),
              "retry: 1000\n\n"
              "id: 2\nevent: opened\ndata: {\"seq\":2}\n\n"
              "id: 3\nevent: opened\ndata: {\"seq\":3}\n\n"
              ": the journal cannot be read past seq 3: journal-000001.jsonl: seq 4 does not follow seq 3 in the chain\n\n");
}

// A page that saw seq 50 of an earlier journal (the agent set up anew, its
// journal begun again) gets the new journal whole, not nothing for ever.
TEST_F(HttpServerTest, ALastEventIdPastTheJournalsEndGetsTheJournalFromItsStart) {
    journalled = 2;
    Serve({});
    Client stream(server->Port());
    stream.Send(Get("/v1/events", "Authorization: Bearer " + token + "\r\nLast-Event-ID: 50\r\n"));
    stream.ReadUntil("id: 2\n");
    WaitForSubscriber();
    JournalAndPublish(3);
    const std::string text = stream.ReadUntil("id: 3\n");
    EXPECT_EQ(BodyOfStream(text), "retry: 1000\n\n"
                                                        "id: 1\nevent: opened\ndata: {\"seq\":1}\n\n"
                                                        "id: 2\nevent: opened\ndata: {\"seq\":2}\n\n"
                                                        "id: 3\nevent: opened\ndata: {\"seq\":3}\n\n");
}

// Last-Event-ID is a seq: up to 19 digits (every such number fits a seq),
// and nothing else. A stream past the journal's end starts from its start.
TEST_F(HttpServerTest, ALastEventIdIsASeqOfAtMostNineteenDigits) {
    Serve({});
    const std::pair<std::string, std::string> rows[] = {
        {"9999999999999999999", "HTTP/1.1 200"}, {"0", "HTTP/1.1 200"},
        {"10000000000000000000", "HTTP/1.1 400"}, {"99999999999999999999", "HTTP/1.1 400"},
        {"-1", "HTTP/1.1 400"},                  {"1x", "HTTP/1.1 400"},
    };
    for (const auto& [lastEventId, status] : rows) {
        Client stream(server->Port());
        stream.Send(Get("/v1/events", "Authorization: Bearer " + token + "\r\nLast-Event-ID: " + lastEventId + "\r\n"));
        EXPECT_EQ(stream.ReadUntil("\r\n").substr(0, 12), status) << lastEventId;
    }
}

// A stream outlives the time a request has to arrive: a quiet one gets a
// comment line each heartbeat, and the next event still comes through.
TEST_F(HttpServerTest, AQuietStreamStaysOpenWithHeartbeats) {
    HttpServerOptions options;
    options.requestTime = std::chrono::milliseconds(150);
    options.heartbeat = std::chrono::milliseconds(100);
    Serve(options);
    Client stream(server->Port());
    stream.Send(Get("/v1/events", "Authorization: Bearer " + token + "\r\n"));
    const std::string quiet = stream.ReadUntil(": still here\n\n: still here\n\n: still here\n\n");
    EXPECT_NE(quiet.find(": still here\n\n: still here\n\n: still here\n\n"), std::string::npos) << quiet;
    JournalAndPublish(1);
    EXPECT_NE(stream.ReadUntil("id: 1\n").find("id: 1\n"), std::string::npos);
}

// A stream the page closes: its session goes, heartbeat timer and all, and
// the server serves on past the next heartbeats.
TEST_F(HttpServerTest, AClosedStreamLeavesNothingBehindThatWakesLater) {
    ServeBeatingEvery(std::chrono::milliseconds(30));
    {
        Client stream(server->Port());
        stream.Send(EventsRequest());
        stream.ReadUntil(": still here\n\n");
    }
    WaitForNoSubscriber();
    EXPECT_EQ(hub.Subscribers(), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(150)); // five heartbeats
    Client after(server->Port());
    after.Send(Get("/v1/health"));
    EXPECT_EQ(after.ReadUntil("\r\n").substr(0, 15), "HTTP/1.1 200 OK");
}

// A client that says something on its stream (nothing is expected there)
// keeps it; when it then leaves, the read alone notices, long before any
// write would fail.
TEST_F(HttpServerTest, AStreamWhoseClientSpeaksStaysAndItsLeavingIsNoticedWithoutAWrite) {
    ServeBeatingEvery(std::chrono::seconds(60));
    {
        Client stream(server->Port());
        stream.Send(EventsRequest());
        stream.ReadUntil("retry: 1000\n\n");
        WaitForSubscriber();
        stream.Send("stray words\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // for the server to read them
        JournalAndPublish(1);
        EXPECT_NE(stream.ReadUntil("id: 1\n").find("id: 1\n"), std::string::npos);
        EXPECT_EQ(hub.Subscribers(), 1u);
    }
    WaitForNoSubscriber();
    EXPECT_EQ(hub.Subscribers(), 0u);
}

// A page that stops reading (a frozen tab) while 3,000 events of 8 KiB pile
// up: 24 MiB, more than the loopback's socket buffers hold. Its stream must
// be ended, and its memory freed, within 10 s.
void HttpServerTest::PileUpOnAStreamThatStopsReading(const HttpServerOptions& options) {
    lineBytes = 8192;
    Serve(options);
    Client stream(server->Port());
    stream.Send(Get("/v1/events", "Authorization: Bearer " + token + "\r\n"));
    stream.ReadUntil("retry: 1000\n\n");
    WaitForSubscriber();
    for (uint64_t seq = 1; seq <= 3000; ++seq) {
        JournalAndPublish(seq);
    }
    for (int i = 0; i < 1000 && server->Connections() > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(server->Connections(), 0u);
    EXPECT_EQ(hub.Subscribers(), 0u);
}

// Fewer events than the queue's limit: a write that has waited the idle
// time ends the stream.
TEST_F(HttpServerTest, AStreamWhoseClientStopsReadingIsEnded) {
    HttpServerOptions options;
    options.idleTime = std::chrono::milliseconds(200);
    options.requestTime = std::chrono::seconds(60); // only the write's own limit can end it in time
    PileUpOnAStreamThatStopsReading(options);
}

// A client that falls behind by more than the live queue holds (it stops
// reading while 3,000 events of 8 KiB come) is not cut: its stream reads
// the journal until it is live again, and the client gets every seq once,
// in order.
TEST_F(HttpServerTest, AStreamFurtherBehindThanItsQueueHoldsCatchesUpFromTheJournal) {
    HttpServerOptions options;
    options.maxQueuedEvents = 64;
    lineBytes = 8192;
    Serve(options);
    Client stream(server->Port());
    stream.Send(Get("/v1/events", "Authorization: Bearer " + token + "\r\n"));
    stream.ReadUntil("retry: 1000\n\n");
    WaitForSubscriber();
    for (uint64_t seq = 1; seq <= 3000; ++seq) {
        JournalAndPublish(seq);
    }
    const std::string text = stream.ReadUntil("id: 3000\n", 60000);
    std::vector<uint64_t> expected(3000);
    std::iota(expected.begin(), expected.end(), uint64_t{1});
    EXPECT_EQ(IdsOf(text), expected);
    EXPECT_GT(journalReads.load(), 0) << "the stream read the journal to catch up";
    EXPECT_EQ(server->Connections(), 1u);
}

// A stream that starts far behind (a page back after a week) reads the
// journal a batch at a time: every event, from any distance, and the live
// ones after them.
TEST_F(HttpServerTest, AResumeFarBehindGetsEveryEventThenTheLiveOnes) {
    journalled = 10000;
    Serve({});
    for (const uint64_t behind : {uint64_t{4096}, uint64_t{4097}, uint64_t{9999}}) {
        SCOPED_TRACE(behind);
        {
            Client stream(server->Port());
            const uint64_t from = journalled - behind;
            stream.Send(Get("/v1/events", "Authorization: Bearer " + token + "\r\nLast-Event-ID: " + std::to_string(from) + "\r\n"));
            const uint64_t newest = journalled;
            stream.ReadUntil("id: " + std::to_string(newest) + "\n", 30000);
            WaitForSubscriber();
            JournalAndPublish(newest + 1);
            const std::string text = stream.ReadUntil("id: " + std::to_string(newest + 1) + "\n", 30000);
            std::vector<uint64_t> expected(newest + 1 - from);
            std::iota(expected.begin(), expected.end(), from + 1);
            EXPECT_EQ(IdsOf(text), expected);
        }
        WaitForNoSubscriber();
    }
}

// An agent restarted at once (systemd's restart, an update) binds its port
// again though the connections it closed still wait out TIME_WAIT there.
TEST_F(HttpServerTest, ARestartedServerBindsItsPortAgainAtOnce) {
    Serve({});
    const uint16_t port = server->Port();
    {
        Client closedByServer(port);
        closedByServer.Send(Get("/v1/health", "Connection: close\r\n"));
        EXPECT_TRUE(closedByServer.ClosedByPeer());
    }
    server.reset();
    HttpServerOptions again;
    again.port = port;
    HttpServer restarted(
        again, bridge, hub, [this] { return std::make_unique<CountingReader>(journalled, duringReplay, lineBytes, journalReads); },
        [](const std::string&) {});
    std::string error;
    EXPECT_TRUE(restarted.Start(error)) << error;
    EXPECT_EQ(restarted.Port(), port);
}

TEST_F(HttpServerTest, AnEventStreamNeedsATokenOrATicketUsedOnce) {
    journalled = 1;
    Serve({});
    Client without(server->Port());
    without.Send(Get("/v1/events"));
    EXPECT_EQ(without.ReadUntil("\r\n").substr(0, 12), "HTTP/1.1 401");

    Client issue(server->Port());
    issue.Send("POST /v1/events/ticket HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->Port()) +
               "\r\nOrigin: https://till.example\r\nAuthorization: Bearer " + token + "\r\nContent-Length: 0\r\n\r\n");
    const std::string issued = issue.ReadUntil("}");
    const std::size_t at = issued.find("\"ticket\":\"");
    ASSERT_NE(at, std::string::npos) << issued;
    const std::string ticket = issued.substr(at + 10, 32);
    Client first(server->Port());
    first.Send(Get("/v1/events?ticket=" + ticket, "Last-Event-ID: 0\r\n"));
    EXPECT_NE(first.ReadUntil("id: 1\n").find("id: 1\n"), std::string::npos);
    Client again(server->Port());
    again.Send(Get("/v1/events?ticket=" + ticket));
    EXPECT_EQ(again.ReadUntil("\r\n").substr(0, 12), "HTTP/1.1 401");

    // The ticket is found among a page's other query parameters too.
    Client more(server->Port());
    more.Send("POST /v1/events/ticket HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->Port()) +
              "\r\nOrigin: https://till.example\r\nAuthorization: Bearer " + token + "\r\nContent-Length: 0\r\n\r\n");
    const std::string reissued = more.ReadUntil("}");
    const std::string second = reissued.substr(reissued.find("\"ticket\":\"") + 10, 32);
    Client amid(server->Port());
    amid.Send(Get("/v1/events?lang=en&ticket=" + second + "&v=2", "Last-Event-ID: 0\r\n"));
    EXPECT_NE(amid.ReadUntil("id: 1\n").find("id: 1\n"), std::string::npos);
}

// A ticket is the origin's it was issued to: a request with no Origin, with
// "null", or from an origin that only looks like it is refused, each with
// a ticket of its own (a stolen ticket is spent by the try).
TEST_F(HttpServerTest, ATicketServesOnlyTheOriginItWasIssuedTo) {
    journalled = 1;
    Serve({});
    const auto issueTicket = [&] {
        Client issue(server->Port());
        issue.Send("POST /v1/events/ticket HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->Port()) +
                   "\r\nOrigin: https://till.example\r\nAuthorization: Bearer " + token + "\r\nContent-Length: 0\r\n\r\n");
        const std::string issued = issue.ReadUntil("}");
        return issued.substr(issued.find("\"ticket\":\"") + 10, 32);
    };
    const auto streamFrom = [&](const std::string& originLine) {
        Client stream(server->Port());
        stream.Send("GET /v1/events?ticket=" + issueTicket() + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                    std::to_string(server->Port()) + "\r\n" + originLine + "Last-Event-ID: 0\r\n\r\n");
        return stream.ReadUntil("\r\n").substr(0, 12);
    };
    for (const std::string origin : {"", "Origin: null\r\n", "Origin: https://till.example.evil\r\n",
                                     "Origin: https://till.example:444\r\n", "Origin: http://till.example\r\n",
                                     "Origin: https://till.exampl\r\n"}) {
        EXPECT_EQ(streamFrom(origin), "HTTP/1.1 401") << origin;
    }
    EXPECT_EQ(streamFrom("Origin: https://till.example\r\n"), "HTTP/1.1 200");
}

// A plain EventSource after an agent restart: its ticket is spent, so the
// page opens a new stream with a new ticket and the last id it saw in the
// query, and gets every event after it. The header, when sent, wins.
TEST_F(HttpServerTest, AStreamOnANewTicketResumesFromTheLastIdInItsQuery) {
    journalled = 4;
    Serve({});
    const auto ticketStream = [&](const std::string& query, const std::string& header) {
        Client issue(server->Port());
        issue.Send("POST /v1/events/ticket HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->Port()) +
                   "\r\nOrigin: https://till.example\r\nAuthorization: Bearer " + token + "\r\nContent-Length: 0\r\n\r\n");
        const std::string issued = issue.ReadUntil("}");
        Client stream(server->Port());
        stream.Send(Get("/v1/events?ticket=" + issued.substr(issued.find("\"ticket\":\"") + 10, 32) + query, header));
        return BodyOfStream(stream.ReadUntil("id: 4\n", 1000));
    };
    EXPECT_EQ(ticketStream("&lastEventId=2", ""), "retry: 1000\n\nid: 3\nevent: opened\ndata: {\"seq\":3}\n\n"
                                                  "id: 4\nevent: opened\ndata: {\"seq\":4}\n\n");
    EXPECT_EQ(ticketStream("&lastEventId=3", "Last-Event-ID: 3\r\n"), "retry: 1000\n\nid: 4\nevent: opened\ndata: {\"seq\":4}\n\n");
    EXPECT_EQ(ticketStream("&lastEventId=1", "Last-Event-ID: 3\r\n"), "retry: 1000\n\nid: 4\nevent: opened\ndata: {\"seq\":4}\n\n");
    EXPECT_EQ(ticketStream("&lastEventId=4", ""), "retry: 1000\n\n") << "up to date: nothing old";
    EXPECT_NE(ticketStream("&lastEventId=x4", "").find("400"), std::string::npos);
}

// The Last-Event-ID next to the journal's end: the newest (nothing old),
// one below it (the newest only), one past it (another journal's id: this
// one whole), each then the live event once.
TEST_F(HttpServerTest, ALastEventIdAtTheEndJustBeforeOrJustPastIt) {
    journalled = 5;
    Serve({});
    auto event = [](int seq) { return "id: " + std::to_string(seq) + "\nevent: opened\ndata: {\"seq\":" + std::to_string(seq) + "}\n\n"; };
    const struct {
        const char* lastEventId;
        std::string past;
    } rows[] = {{"5", ""}, {"4", event(5)}, {"6", event(1) + event(2) + event(3) + event(4) + event(5)}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.lastEventId);
        journalled = 5;
        {
            Client stream(server->Port());
            stream.Send(Get("/v1/events", "Authorization: Bearer " + token + "\r\nLast-Event-ID: " + row.lastEventId + "\r\n"));
            // (Its past read first: seq 6 journalled before the stream
            // looks at the journal's end would make Last-Event-ID 6 current.)
            stream.ReadUntil("retry: 1000\n\n" + row.past);
            WaitForSubscriber();
            JournalAndPublish(6);
            EXPECT_EQ(BodyOfStream(stream.ReadUntil(event(6))), "retry: 1000\n\n" + row.past + event(6));
        }
        WaitForNoSubscriber();
        ASSERT_EQ(hub.Subscribers(), 0u);
    }
}

TEST_F(HttpServerTest, AFailureInsideTheAgentIsA500AndTheServerGoesOn) {
    Serve({});
    backend.statisticsFail = true;
    const std::string request = "GET /v1/statistics HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->Port()) +
                                "\r\nOrigin: https://till.example\r\nAuthorization: Bearer " + token + "\r\n\r\n";
    Client failing(server->Port());
    failing.Send(request);
    const std::string answer = failing.ReadUntil("gone");
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 500") << answer;
    EXPECT_NE(answer.find("the agent failed: the journal's folder is gone"), std::string::npos) << answer;
    backend.statisticsFail = false;
    Client next(server->Port());
    next.Send(request);
    EXPECT_EQ(next.ReadUntil("\r\n").substr(0, 15), "HTTP/1.1 200 OK");
}

// The agent's own bridge over a journal of earlier runs: a stream opened
// before the agent's first event of this run starts at the journal's end,
// not at its beginning; the agent's events then come live.
TEST(BridgeService, AStreamOpenedBeforeTheAgentStartsBeginsAtTheJournalsEnd) {
    TempFolder folder;
    auto journal = OpenJournal(folder.path());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(journal->Append(Event{kind::kOpened, Json{{"drawer", "A"}, {"raw", 1}}}, 1'700'000'000'000));
    }
    AgentSettings settings;
    settings.drawers = {WatchedDrawer{"A", 1}};
    settings.journalFolder = folder.path();
    settings.bridgePort = 0; // the system's choice, for the test
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
    auto store = MakeFolderPairingStore(folder.path());
    std::string error;
    const auto code = IssuePairingCode(*store, now, error);
    ASSERT_TRUE(code) << error;
    PairingDesk desk(*store);
    const std::string token = desk.Pair("https://till.example", *code, now, now).token;
    ASSERT_FALSE(token.empty());

    ScriptedDrawers drawers;
    drawers.readings["A"] = {0};
    VirtualAgentClock clock;
    Agent agent(settings, drawers, *journal, clock);
    AgentMutex agentLock;
    StatisticsKeeper statistics(folder.path());
    statistics.Load();
    auto service = StartBridgeService(settings, agent, agentLock, statistics, "0.2.0", [](const std::string&) {}, error);
    ASSERT_TRUE(service) << error;
    Client stream(service->Port());
    stream.Send("GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(service->Port()) +
                "\r\nOrigin: https://till.example\r\nAuthorization: Bearer " + token + "\r\n\r\n");
    stream.ReadUntil("retry: 1000\n\n");
    {
        std::lock_guard lock(agentLock);
        agent.Start(); // agent-started (4), then the drawer's first state (5)
    }
    EXPECT_EQ(IdsOf(stream.ReadUntil("id: 5\n")), (std::vector<uint64_t>{4, 5}));
}

} // namespace
} // namespace cashdrawer::agent::testing
