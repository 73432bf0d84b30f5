// The fleet publisher on our own MQTT 3.1.1 client, over any byte stream
// to the broker: a WebSocket on Windows (through the system's HTTP stack,
// with its TLS, proxy and certificate store), a plain socket in the tests.
// Two threads, as with the Linux agent's client library:
//   - the network thread dials, sends CONNECT, and reads the broker's
//     packets until the connection ends; then it waits its turn and dials
//     again, for as long as the agent runs;
//   - the pump thread drives the FleetPublisher, woken by each journalled
//     event, by the network's news and by its timers; it also keeps the
//     connection alive (PINGREQ when nothing was sent for a keep-alive) and
//     ends one the broker has stopped answering.
#pragma once

#include "core/agent_thread.h"
#include "core/settings.h"
#include "fleet/fleet_news.h"
#include "fleet/fleet_publisher.h"
#include "fleet/fleet_service.h"
#include "fleet/reconnect.h"

#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace cashdrawer::agent {

// One connection to the broker, as bytes.
class BrokerConnection {
public:
    virtual ~BrokerConnection() = default;
    // Writes whole packets; false once the connection has failed. Never
    // called by two threads at once.
    virtual bool Send(const std::string& bytes) = 0;
    // Waits for bytes and appends them; false once the connection ended,
    // closed by either side or failed. Runs beside a Send.
    virtual bool Receive(std::string& bytes) = 0;
    // Ends the connection, from any thread: a waiting Receive returns.
    virtual void Close() = 0;
    // Why it ended, in the system's words ("" for an orderly close).
    virtual std::string Failure() const = 0;
};

class BrokerDialer {
public:
    virtual ~BrokerDialer() = default;
    // A connection ready for MQTT (TCP, TLS and the WebSocket upgrade done);
    // nothing, with the cause in words a till's operator can act on.
    virtual std::unique_ptr<BrokerConnection> Dial(std::string& cause) = 0;
};

struct StreamFleetTimes {
    int keepAliveSeconds = 30;
    int64_t stopAckWaitMs = 2000;     // how long a stop waits for the offline health's PUBACK
    int64_t disconnectWaitMs = 1000;  // and for the broker to close after our DISCONNECT
};

class StreamFleet final : public FleetService, private MqttLink {
public:
    StreamFleet(const AgentSettings& settings, const std::string& libraryVersion, std::unique_ptr<BrokerDialer> dialer,
                std::function<void(const std::string&)> log, const Statistics* countedSoFar = nullptr,
                StreamFleetTimes times = {});
    ~StreamFleet() override;

    bool Start(std::string& error);
    // A journalled event: the pump reads on.
    void Wake();

    Json Status() const override;
    void SetJournalHealth(bool ok, const std::string& failure) override;
    void Stop() override;

private:
    using News = FleetNews;

    std::optional<int> Publish(const std::string& topic, const std::string& payload, bool retain) override;

    void RunNetwork();
    // One connection, from the CONNECT to its end: the words of its end,
    // and whether a session was up.
    std::string Converse(const std::shared_ptr<BrokerConnection>& connection, bool& wasUp);
    bool SendOn(const std::shared_ptr<BrokerConnection>& connection, const std::string& bytes);
    void EndConnection(std::string cause); // from the pump: a broker that stopped answering
    void Fail(bool wasConnected, std::string cause);
    void Tell(News news);
    bool StopDone();

    void RunPump();
    int64_t KeepAlive(int64_t nowMs); // the time of its next look
    void PublishStatus();
    void StopPublishing();
    void SayGoodbye();

    MqttSettings mqtt_;
    StreamFleetTimes times_;
    std::unique_ptr<BrokerDialer> dialer_;
    FleetNewsDesk desk_; // the pump thread's
    std::unique_ptr<AckStore> acks_;
    FleetPublisher publisher_; // the pump thread's
    AgentThread network_;
    AgentThread pump_;

    mutable AgentMutex mutex_;
    AgentCondition changed_;
    AgentMutex sending_; // one writer at a time on the connection
    std::shared_ptr<BrokerConnection> connection_;
    bool sessionUp_ = false;       // a CONNACK accepted this connection
    int64_t dialledAtMs_ = 0;      // when this connection was made
    int64_t lastSentMs_ = 0;       // the last packet we wrote
    int64_t lastHeardMs_ = 0;      // the last bytes the broker sent
    bool pingOut_ = false;         // a PINGREQ awaits its PINGRESP
    std::string endCause_;         // why the pump ended this connection
    uint16_t lastPacketId_ = 0;
    std::vector<News> inbox_;
    bool journalMoved_ = false;
    bool dialled_ = false; // a new connection, for the pump to time its CONNACK
    std::optional<std::pair<bool, std::string>> journalHealth_;
    bool started_ = false;
    bool stopping_ = false;
    bool pumpDone_ = false;
    bool networkDone_ = false;
    ReconnectBackoff backoff_;
    std::minstd_rand random_{std::random_device{}()};
    std::uniform_real_distribution<double> jitter_{0.5, 1.0};
    Json status_ = Json{{"state", "connecting"}};
};

} // namespace cashdrawer::agent
