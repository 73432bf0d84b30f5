// Our own MQTT client against a broker in memory that answers as a script
// says: accepts, refuses, says nothing, stops answering, drops the
// connection or sends what is not MQTT.
#include "agent_test_support.h"
#include "fleet/mqtt_codec.h"
#include "fleet/stream_fleet.h"
#include "fleet/stream_watch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

namespace cashdrawer::agent {
namespace {

using testing::OpenJournal;
using testing::TempFolder;

struct Seen {
    mqtt::PacketType type{};
    uint8_t flags = 0;
    std::string topic;
    std::string payload;
    std::string body;
};

enum class Answer {
    Accept,      // CONNACK 0, a PUBACK for each publication, a PINGRESP for each PINGREQ
    Refuse,      // CONNACK with `refusal`
    Silent,      // nothing at all
    Deaf,        // accepts and acknowledges, never answers a PINGREQ
    NoAcks,      // accepts, acknowledges nothing
    Raw,         // answers the CONNECT with `raw`
    Unreachable, // the dial fails
};

// The broker's side of every connection, under one lock.
struct Broker {
    std::mutex mutex;
    std::condition_variable changed;
    Answer answer = Answer::Accept;
    uint8_t refusal = 0;
    std::string raw;
    std::string unreachableWords;
    uint8_t granted = 1;                                        // a SUBACK's code
    std::vector<std::pair<std::string, std::string>> retained; // sent to a subscriber, QoS 1
    std::vector<Seen> seen;
    int dials = 0;
    uint64_t epoch = 0; // a drop ends every connection of an older epoch

    void Set(Answer next) {
        std::lock_guard lock(mutex);
        answer = next;
    }
    void DropAll() {
        std::lock_guard lock(mutex);
        ++epoch;
        changed.notify_all();
    }
    std::vector<Seen> Seen_() {
        std::lock_guard lock(mutex);
        return seen;
    }
    std::vector<uint64_t> EventSeqs() {
        std::vector<uint64_t> seqs;
        for (const Seen& one : Seen_()) {
            if (one.type == mqtt::PacketType::Publish && one.topic.ends_with("/events")) {
                seqs.push_back(Json::parse(one.payload)["seq"].get<uint64_t>());
            }
        }
        return seqs;
    }
    std::size_t Count(mqtt::PacketType type) {
        std::size_t count = 0;
        for (const Seen& one : Seen_()) {
            count += one.type == type ? 1 : 0;
        }
        return count;
    }
};

class MemoryConnection final : public BrokerConnection {
public:
    explicit MemoryConnection(Broker& broker) : broker_(broker), epoch_(broker.epoch) {}

    bool Send(const std::string& bytes) override {
        std::lock_guard lock(broker_.mutex);
        if (Ended()) {
            return false;
        }
        reader_.Feed(bytes);
        std::string error;
        while (auto packet = reader_.Next(error)) {
            Seen one{packet->type, packet->flags, "", "", packet->body};
            if (const auto publish = mqtt::ParsePublish(*packet)) {
                one.topic = publish->topic;
                one.payload = publish->payload;
                if (broker_.answer != Answer::NoAcks) {
                    toClient_ += mqtt::EncodePuback(publish->packetId);
                }
            }
            broker_.seen.push_back(one);
            switch (packet->type) {
            case mqtt::PacketType::Connect:
                if (broker_.answer == Answer::Refuse) {
                    toClient_ += std::string{0x20, 2, 0, static_cast<char>(broker_.refusal)};
                } else if (broker_.answer == Answer::Raw) {
                    toClient_ += broker_.raw;
                } else if (broker_.answer != Answer::Silent) {
                    toClient_ += std::string{0x20, 2, 0, 0};
                }
                break;
            case mqtt::PacketType::Pingreq:
                if (broker_.answer == Answer::Accept) {
                    toClient_ += std::string{static_cast<char>(0xD0), 0};
                }
                break;
            case mqtt::PacketType::Subscribe: {
                toClient_ += std::string{static_cast<char>(0x90), 3, packet->body[0], packet->body[1],
                                         static_cast<char>(broker_.granted)};
                uint16_t id = 100;
                for (const auto& [topic, payload] : broker_.retained) {
                    toClient_ += *mqtt::EncodePublish(topic, payload, 1, true, ++id);
                }
                break;
            }
            case mqtt::PacketType::Disconnect: closedByBroker_ = true; break;
            default: break;
            }
        }
        broker_.changed.notify_all();
        return true;
    }

    bool Receive(std::string& bytes) override {
        std::unique_lock lock(broker_.mutex);
        broker_.changed.wait(lock, [this] { return !toClient_.empty() || Ended(); });
        if (!toClient_.empty()) {
            bytes += std::exchange(toClient_, std::string());
            return true;
        }
        return false;
    }

    void Close() override {
        std::lock_guard lock(broker_.mutex);
        closed_ = true;
        broker_.changed.notify_all();
    }

    std::string Failure() const override { return ""; }

private:
    bool Ended() const { return closed_ || closedByBroker_ || epoch_ != broker_.epoch; }

    Broker& broker_;
    uint64_t epoch_;
    mqtt::PacketReader reader_;
    std::string toClient_;
    bool closed_ = false;
    bool closedByBroker_ = false;
};

class MemoryDialer final : public BrokerDialer {
public:
    explicit MemoryDialer(Broker& broker) : broker_(broker) {}
    std::unique_ptr<BrokerConnection> Dial(std::string& cause) override {
        std::lock_guard lock(broker_.mutex);
        ++broker_.dials;
        if (broker_.answer == Answer::Unreachable) {
            cause = broker_.unreachableWords;
            return nullptr;
        }
        return std::make_unique<MemoryConnection>(broker_);
    }

private:
    Broker& broker_;
};

bool Eventually(const std::function<bool()>& done) {
    // A cap for a test that fails, not a bound on the time anything takes.
    for (int i = 0; i < 3000; ++i) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

class StreamFleetTest : public ::testing::Test {
protected:
    StreamFleetTest() {
        settings.journalFolder = folder.path();
        settings.drawers = {{"A", 1}};
        settings.mqtt.host = "broker.test";
        settings.mqtt.port = 443;
        settings.mqtt.webSocket = true;
        settings.mqtt.tls = true;
        settings.mqtt.path = "/mqtt";
        settings.mqtt.site = "store-7";
        settings.mqtt.terminal = "till-2";
        settings.mqtt.clientId = "cashdrawer-store-7-till-2";
        settings.mqtt.username = "till-2";
        settings.mqtt.password = "secret";
    }
    std::unique_ptr<StreamFleet> Start() {
        auto fleet = std::make_unique<StreamFleet>(settings, "4.5.6", std::make_unique<MemoryDialer>(broker),
                                                   [this](const std::string& line) {
                                                       std::lock_guard lock(logMutex);
                                                       log.push_back(line);
                                                   },
                                                   nullptr, StreamFleetTimes{1, 2000, 1000});
        std::string error;
        EXPECT_TRUE(fleet->Start(error)) << error;
        return fleet;
    }
    void Append(int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(journal->Append(Event{kind::kOpened, Json{{"drawer", "A"}, {"raw", 1}}}, 1'796'733'296'789));
        }
    }
    static std::string StateOf(const StreamFleet& fleet) { return fleet.Status().value("state", ""); }
    static std::string CauseOf(const StreamFleet& fleet) { return fleet.Status().value("cause", ""); }

    TempFolder folder;
    std::unique_ptr<Journal> journal = OpenJournal(folder.path());
    AgentSettings settings;
    Broker broker;
    std::mutex logMutex;
    std::vector<std::string> log;
};

TEST_F(StreamFleetTest, PublishesTheJournalKeepsTheSessionAliveAndSaysGoodbye) {
    Append(3);
    auto fleet = Start();
    ASSERT_TRUE(Eventually([&] { return fleet->Status().value("ackedSeq", 0) == 3; })) << fleet->Status().dump();
    EXPECT_EQ(StateOf(*fleet), "connected");
    EXPECT_EQ(fleet->Status().value("broker", ""), "wss://broker.test:443/mqtt");
    // A new event wakes the pump.
    Append(1);
    fleet->Wake();
    ASSERT_TRUE(Eventually([&] { return broker.EventSeqs() == std::vector<uint64_t>{1, 2, 3, 4}; }));
    // Idle for a keep-alive: a PINGREQ, answered; the session stays.
    ASSERT_TRUE(Eventually([&] { return broker.Count(mqtt::PacketType::Pingreq) >= 2; }));
    EXPECT_EQ(StateOf(*fleet), "connected");
    EXPECT_EQ(broker.dials, 1);

    fleet->Stop();
    const auto seen = broker.Seen_();
    ASSERT_GE(seen.size(), 3u);
    // The CONNECT: the client id, a keep-alive of 1 s, the Will (QoS 1,
    // retained), the credentials.
    const Seen& connect = seen.front();
    ASSERT_EQ(connect.type, mqtt::PacketType::Connect);
    mqtt::ConnectRequest expected;
    expected.clientId = "cashdrawer-store-7-till-2";
    expected.keepAliveSeconds = 1;
    expected.will = mqtt::Will{"cashdrawer/v1/store-7/till-2/health",
                               OfflineHealth("store-7", "till-2", "the agent vanished: the broker lost its connection"),
                               true};
    expected.username = "till-2";
    expected.password = "secret";
    mqtt::PacketReader reader;
    reader.Feed(*mqtt::EncodeConnect(expected));
    std::string error;
    EXPECT_EQ(connect.body, reader.Next(error)->body);
    // Every publication at QoS 1; the health retained, the events not.
    for (const Seen& one : seen) {
        if (one.type == mqtt::PacketType::Publish) {
            EXPECT_EQ(one.flags & 0x6, 0x2) << one.topic;
            EXPECT_EQ((one.flags & 0x1) != 0, !one.topic.ends_with("/events")) << one.topic;
        }
    }
    // The stop: the offline health, then the DISCONNECT, last of all.
    EXPECT_EQ(seen.back().type, mqtt::PacketType::Disconnect);
    const Seen& offline = seen[seen.size() - 2];
    EXPECT_EQ(offline.topic, "cashdrawer/v1/store-7/till-2/health");
    EXPECT_NE(offline.payload.find("\"why\":\"the agent was stopped\""), std::string::npos) << offline.payload;
    std::lock_guard lock(logMutex);
    EXPECT_EQ(log.front(), "cashdrawer-agent: fleet: connected to wss://broker.test:443/mqtt; events after seq 0 go now");
}

TEST_F(StreamFleetTest, EachFailureIsToldInItsOwnWords) {
    const struct {
        Answer answer;
        uint8_t refusal;
        std::string raw;
        std::string cause; // a pattern
        std::string state; // "failing" before any session; "connecting" again after one
    } rows[] = {
        {Answer::Refuse, 5, "", "the broker refused the connection: Connection Refused: not authorised\\.", "failing"},
        {Answer::Refuse, 4, "", "the broker refused the connection: Connection Refused: bad user name or password\\.",
         "failing"},
        {Answer::Unreachable, 0, "", "the broker cannot be reached: nobody there", "failing"},
        {Answer::Raw, 0, std::string{0x21, 2, 0, 0}, "the broker sent a packet of type 2 with its reserved flags set",
         "failing"},
        {Answer::Raw, 0, std::string{0x20, 3, 0, 0, 0},
         "the broker's answer to the connection is not MQTT 3\\.1\\.1 \\(a malformed CONNACK\\)", "failing"},
        {Answer::Raw, 0, std::string{0x40, 2, 0, 1},
         "the broker's first packet was no CONNACK: it may not speak MQTT 3\\.1\\.1", "failing"},
        {Answer::Raw, 0, std::string{0x20, 2, 0, 0, static_cast<char>(0x90), 3, 0, 1, 0},
         "the broker sent a packet of type 9, which a publisher never gets", "connecting"},
        {Answer::Silent, 0, "", "the broker took the connection but did not answer it \\(no CONNACK\\) within [0-9]+ s",
         "failing"},
    };
    for (const auto& row : rows) {
        broker.Set(row.answer);
        broker.refusal = row.refusal;
        broker.raw = row.raw;
        broker.unreachableWords = "the broker cannot be reached: nobody there";
        Append(1);
        const auto started = std::chrono::steady_clock::now();
        auto fleet = Start();
        EXPECT_TRUE(Eventually([&] { return std::regex_match(CauseOf(*fleet), std::regex(row.cause)); }))
            << row.cause << " but " << fleet->Status().dump();
        EXPECT_EQ(StateOf(*fleet), row.state) << row.cause;
        if (row.answer == Answer::Silent) {
            // Given up on no sooner than a keep-alive.
            EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
        }
        fleet->Stop();
    }
}

TEST_F(StreamFleetTest, ALostSessionIsDroppedAndEverythingUnacknowledgedGoesAgain) {
    broker.Set(Answer::NoAcks);
    Append(3);
    auto fleet = Start();
    ASSERT_TRUE(Eventually([&] { return broker.EventSeqs().size() == 3; }));
    broker.Set(Answer::Accept);
    broker.DropAll();
    EXPECT_TRUE(Eventually([&] {
        return CauseOf(*fleet) == "the connection to the broker failed: The connection was lost." ||
               broker.dials >= 2;
    })) << fleet->Status().dump();
    ASSERT_TRUE(Eventually([&] { return fleet->Status().value("ackedSeq", 0) == 3; })) << fleet->Status().dump();
    EXPECT_EQ(broker.EventSeqs(), (std::vector<uint64_t>{1, 2, 3, 1, 2, 3}));
    EXPECT_EQ(broker.dials, 2);
    std::lock_guard lock(logMutex);
    const auto lost = std::find_if(log.begin(), log.end(), [](const std::string& line) {
        return line.find("The connection was lost. (the next attempt in 1 s") != std::string::npos;
    });
    EXPECT_NE(lost, log.end()) << testing::Joined(log);
}

TEST_F(StreamFleetTest, ABrokerThatStopsAnsweringIsLeftAndDialledAgain) {
    broker.Set(Answer::Deaf);
    Append(1);
    auto fleet = Start();
    ASSERT_TRUE(Eventually([&] { return fleet->Status().value("ackedSeq", 0) == 1; }));
    const auto connected = std::chrono::steady_clock::now();
    ASSERT_TRUE(Eventually([&] { return broker.dials >= 2; })) << fleet->Status().dump();
    // A PINGREQ after a keep-alive of quiet, and half a keep-alive more
    // without its answer.
    EXPECT_GE(std::chrono::steady_clock::now() - connected, std::chrono::milliseconds(1500));
    EXPECT_GE(broker.Count(mqtt::PacketType::Pingreq), 1u);
    std::lock_guard lock(logMutex);
    const auto deaf = std::find_if(log.begin(), log.end(), [](const std::string& line) {
        return line.find(": the broker stopped answering: no PINGRESP within ") != std::string::npos;
    });
    EXPECT_NE(deaf, log.end()) << testing::Joined(log);
}

// `fleet watch` over the same client: subscribed to everything at QoS 1,
// each retained message acknowledged and in the view, a goodbye at the end.
TEST_F(StreamFleetTest, TheWatchSubscribesAcknowledgesAndPrintsWhatItGot) {
    broker.retained = {{"cashdrawer/v1/store-7/till-2/health",
                        OfflineHealth("store-7", "till-2", "the agent was stopped", "2026-12-01T10:00:00.000Z")}};
    FleetWatchOptions options;
    options.broker = "wss://broker.test/mqtt";
    options.json = true;
    options.everySeconds = 0;
    options.forSeconds = 1;
    MemoryDialer dialer(broker);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(WatchFleetOver(dialer, options, WatchLogin{"office", "pw"}, out, err, [] { return false; }), 0);
    EXPECT_EQ(err.str(), "");
    EXPECT_NE(out.str().find(R"("terminal":"till-2","online":false,"why":"the agent was stopped","offlineSince":"2026-12-01T10:00:00.000Z")"),
              std::string::npos)
        << out.str();
    const auto seen = broker.Seen_();
    ASSERT_EQ(seen.size(), 4u);
    mqtt::ConnectRequest login;
    login.clientId = "x";
    login.username = "office";
    login.password = "pw";
    EXPECT_EQ(static_cast<uint8_t>(seen[0].body[7]), static_cast<uint8_t>(mqtt::EncodeConnect(login)->at(9)))
        << "the CONNECT's flags: user, password, clean session";
    EXPECT_EQ(seen[1].type, mqtt::PacketType::Subscribe);
    EXPECT_EQ(seen[1].body, std::string({0, 1, 0, 15}) + "cashdrawer/v1/#" + std::string(1, 1));
    EXPECT_EQ(seen[2].type, mqtt::PacketType::Puback);
    EXPECT_EQ(seen[2].body, std::string({0, 101}));
    EXPECT_EQ(seen[3].type, mqtt::PacketType::Disconnect);
}

TEST_F(StreamFleetTest, AWatchTheBrokerNeverTookSaysWhyOnceAndFails) {
    const struct {
        Answer answer;
        uint8_t code;
        std::string err;
    } rows[] = {
        {Answer::Refuse, 5, "cashdrawer-agent: fleet watch: the broker refused: Connection Refused: not authorised.\n"},
        {Answer::Unreachable, 0,
         "cashdrawer-agent: fleet watch: wss://broker.test/mqtt: the broker cannot be reached: nobody there\n"},
    };
    for (const auto& row : rows) {
        broker.Set(row.answer);
        broker.refusal = row.code;
        broker.unreachableWords = "the broker cannot be reached: nobody there";
        broker.dials = 0;
        FleetWatchOptions options;
        options.broker = "wss://broker.test/mqtt";
        options.everySeconds = 0;
        options.forSeconds = 2;
        MemoryDialer dialer(broker);
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(WatchFleetOver(dialer, options, std::nullopt, out, err, [] { return false; }), 1);
        EXPECT_EQ(err.str(), row.err) << "said once, however often it was tried";
        EXPECT_GE(broker.dials, 2) << "tried again a second later";
    }
    // Taken, but the subscription refused: a watch that sees nothing says so.
    broker.Set(Answer::Accept);
    broker.granted = 0x80;
    FleetWatchOptions options;
    options.broker = "wss://broker.test/mqtt";
    options.everySeconds = 0;
    options.forSeconds = 1;
    MemoryDialer dialer(broker);
    std::ostringstream out;
    std::ostringstream err;
    WatchFleetOver(dialer, options, std::nullopt, out, err, [] { return false; });
    EXPECT_EQ(err.str(), "cashdrawer-agent: fleet watch: the broker refused: the subscription to cashdrawer/v1/# was refused\n");
}

} // namespace
} // namespace cashdrawer::agent
