#include "fleet/stream_fleet.h"

#include "fleet/mqtt_codec.h"

#include "cash_drawer_version.h"

#include <algorithm>
#include <chrono>

namespace cashdrawer::agent {
namespace {

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t UnixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The words for a session the broker (or the network) ended: the Linux
// agent's client says the same, so a head office reads one cause.
constexpr const char* kConnectionLost = "the connection to the broker failed: The connection was lost.";

} // namespace

StreamFleet::StreamFleet(const AgentSettings& settings, const std::string& libraryVersion,
                         std::unique_ptr<BrokerDialer> dialer, std::function<void(const std::string&)> log,
                         const Statistics* countedSoFar, StreamFleetTimes times)
    : mqtt_(settings.mqtt), times_(times), dialer_(std::move(dialer)), desk_(mqtt_.BrokerUrl(), std::move(log)),
      acks_(MakeFolderAckStore(settings.journalFolder)),
      publisher_(FleetOptions{mqtt_.site, mqtt_.terminal, mqtt_.BrokerUrl(), CASH_DRAWER_VERSION, libraryVersion},
                 settings.drawers, *this, settings.journalFolder, *acks_, countedSoFar) {}

StreamFleet::~StreamFleet() { Stop(); }

bool StreamFleet::Start(std::string& error) {
    if (!network_.Start([this] { RunNetwork(); })) {
        error = "the fleet client's thread cannot be started";
        return false;
    }
    if (!pump_.Start([this] { RunPump(); })) {
        error = "the fleet client's thread cannot be started";
        {
            std::lock_guard lock(mutex_);
            stopping_ = pumpDone_ = true;
            changed_.NotifyAll();
        }
        network_.Join();
        return false;
    }
    std::lock_guard lock(mutex_);
    started_ = true;
    return true;
}

void StreamFleet::Wake() {
    std::lock_guard lock(mutex_);
    journalMoved_ = true;
    changed_.NotifyAll();
}

Json StreamFleet::Status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

void StreamFleet::SetJournalHealth(bool ok, const std::string& failure) {
    std::lock_guard lock(mutex_);
    journalHealth_ = {ok, failure};
    changed_.NotifyAll();
}

void StreamFleet::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
        changed_.NotifyAll();
    }
    pump_.Join(); // the offline health, its acknowledgement waited for
    SayGoodbye();
    network_.Join();
}

// --- the network thread ---------------------------------------------------

void StreamFleet::RunNetwork() {
    while (!StopDone()) {
        std::string cause;
        std::shared_ptr<BrokerConnection> connection = dialer_->Dial(cause);
        if (!connection) {
            if (StopDone()) {
                break;
            }
            Fail(false, std::move(cause));
            continue;
        }
        {
            std::lock_guard lock(mutex_);
            if (stopping_ && pumpDone_) {
                break; // dialled while the stop ended: nothing more to say
            }
            connection_ = connection;
            sessionUp_ = pingOut_ = false;
            endCause_.clear();
            dialledAtMs_ = lastSentMs_ = lastHeardMs_ = SteadyMs();
            // The pump's keep-alive times the CONNACK from now. Without the
            // wake it would still look at its next due time, at most a
            // keep-alive later: a silent broker found later, never missed.
            dialled_ = true;
            changed_.NotifyAll();
        }
        bool wasUp = false;
        cause = Converse(connection, wasUp);
        connection->Close();
        {
            std::lock_guard lock(mutex_);
            connection_.reset();
            sessionUp_ = false;
        }
        if (StopDone()) {
            break;
        }
        Fail(wasUp, std::move(cause));
    }
    std::lock_guard lock(mutex_);
    networkDone_ = true;
    changed_.NotifyAll();
}

std::string StreamFleet::Converse(const std::shared_ptr<BrokerConnection>& connection, bool& wasUp) {
    mqtt::ConnectRequest request;
    request.clientId = mqtt_.clientId;
    request.keepAliveSeconds = static_cast<uint16_t>(times_.keepAliveSeconds);
    const FleetTopics topics = TopicsOf(mqtt_.site, mqtt_.terminal);
    request.will = mqtt::Will{topics.health,
                              OfflineHealth(mqtt_.site, mqtt_.terminal, "the agent vanished: the broker lost its connection"),
                              true};
    if (!mqtt_.username.empty()) {
        request.username = mqtt_.username;
        if (!mqtt_.password.empty()) {
            request.password = mqtt_.password;
        }
    }
    // The settings bound every field far below 65,535 bytes.
    const auto connect = mqtt::EncodeConnect(request);
    if (!connect || !SendOn(connection, *connect)) {
        const std::string failure = connection->Failure();
        return failure.empty() ? kConnectionLost : "the connection to the broker failed: " + failure;
    }
    mqtt::PacketReader reader;
    std::string cause;
    std::string bytes;
    while (cause.empty()) {
        bytes.clear();
        if (!connection->Receive(bytes)) {
            break;
        }
        {
            std::lock_guard lock(mutex_);
            lastHeardMs_ = SteadyMs();
        }
        reader.Feed(bytes);
        std::string error;
        for (auto packet = reader.Next(error); packet && cause.empty(); packet = reader.Next(error)) {
            if (packet->type == mqtt::PacketType::Connack && !wasUp) {
                const auto connack = mqtt::ParseConnack(*packet);
                if (!connack) {
                    cause = "the broker's answer to the connection is not MQTT 3.1.1 (a malformed CONNACK)";
                } else if (connack->returnCode != 0) {
                    cause = "the broker refused the connection: " + mqtt::ConnackWords(connack->returnCode);
                } else {
                    wasUp = true;
                    {
                        std::lock_guard lock(mutex_);
                        sessionUp_ = true;
                    }
                    Tell({News::Kind::Connected, 0, "", 0});
                }
            } else if (!wasUp) {
                cause = "the broker's first packet was no CONNACK: it may not speak MQTT 3.1.1";
            } else if (packet->type == mqtt::PacketType::Puback) {
                const auto id = mqtt::ParsePuback(*packet);
                if (!id) {
                    cause = "the broker sent a malformed PUBACK";
                } else {
                    Tell({News::Kind::Acked, *id, "", 0});
                }
            } else if (packet->type == mqtt::PacketType::Pingresp) {
                std::lock_guard lock(mutex_);
                pingOut_ = false;
            } else if (packet->type == mqtt::PacketType::Publish) {
                // Nothing is subscribed; a broker that sends anyway is
                // answered as QoS asks and not listened to.
                const auto publish = mqtt::ParsePublish(*packet);
                if (publish && publish->qos == 1) {
                    SendOn(connection, mqtt::EncodePuback(publish->packetId));
                }
            } else {
                cause = "the broker sent a packet of type " + std::to_string(static_cast<int>(packet->type)) +
                        ", which a publisher never gets";
            }
        }
        if (!error.empty() && cause.empty()) {
            cause = error;
        }
    }
    std::lock_guard lock(mutex_);
    if (!endCause_.empty()) {
        return endCause_; // the pump ended it, and knows why
    }
    if (!cause.empty()) {
        return cause;
    }
    const std::string failure = connection->Failure();
    return failure.empty() ? kConnectionLost : "the connection to the broker failed: " + failure;
}

bool StreamFleet::SendOn(const std::shared_ptr<BrokerConnection>& connection, const std::string& bytes) {
    bool sent = false;
    {
        std::lock_guard lock(sending_);
        sent = connection->Send(bytes);
    }
    if (!sent) {
        connection->Close(); // the reader sees the end and says why
        return false;
    }
    std::lock_guard lock(mutex_);
    lastSentMs_ = SteadyMs();
    return true;
}

void StreamFleet::EndConnection(std::string cause) {
    std::shared_ptr<BrokerConnection> connection;
    {
        std::lock_guard lock(mutex_);
        if (!connection_ || !endCause_.empty()) {
            return;
        }
        endCause_ = std::move(cause);
        connection = connection_;
    }
    connection->Close();
}

void StreamFleet::Fail(bool wasConnected, std::string cause) {
    std::unique_lock lock(mutex_);
    const int64_t pause = backoff_.WaitAfterFailureMs(jitter_(random_));
    inbox_.push_back({wasConnected ? News::Kind::Dropped : News::Kind::Refused, 0, std::move(cause), pause});
    changed_.NotifyAll();
    // Cut short only once the whole stop is done.
    changed_.WaitFor(lock, pause, [this] { return stopping_ && pumpDone_; });
}

void StreamFleet::Tell(News news) {
    std::lock_guard lock(mutex_);
    if (news.kind == News::Kind::Connected) {
        backoff_.SessionTaken();
    }
    inbox_.push_back(std::move(news));
    changed_.NotifyAll();
}

bool StreamFleet::StopDone() {
    std::lock_guard lock(mutex_);
    return stopping_ && pumpDone_;
}

// After the pump is done: a DISCONNECT (so the broker keeps the Will), a
// short wait for the broker to close, then the connection ended from here.
void StreamFleet::SayGoodbye() {
    std::shared_ptr<BrokerConnection> connection;
    {
        std::lock_guard lock(mutex_);
        if (sessionUp_) {
            connection = connection_;
        }
    }
    if (connection && SendOn(connection, mqtt::EncodeDisconnect())) {
        std::unique_lock lock(mutex_);
        changed_.WaitFor(lock, times_.disconnectWaitMs, [this] { return networkDone_ || !connection_; });
    }
    std::shared_ptr<BrokerConnection> left;
    {
        std::lock_guard lock(mutex_);
        left = connection_;
    }
    if (left) {
        left->Close();
    }
}

// --- the pump thread --------------------------------------------------------

std::optional<int> StreamFleet::Publish(const std::string& topic, const std::string& payload, bool retain) {
    std::shared_ptr<BrokerConnection> connection;
    uint16_t id = 0;
    {
        std::lock_guard lock(mutex_);
        if (!connection_ || !sessionUp_ || !endCause_.empty()) {
            return std::nullopt;
        }
        connection = connection_;
        lastPacketId_ = static_cast<uint16_t>(lastPacketId_ == 0xFFFF ? 1 : lastPacketId_ + 1);
        id = lastPacketId_;
    }
    const auto packet = mqtt::EncodePublish(topic, payload, 1, retain, id);
    if (!packet || !SendOn(connection, *packet)) {
        return std::nullopt;
    }
    return id;
}

int64_t StreamFleet::KeepAlive(int64_t nowMs) {
    const int64_t keepAliveMs = int64_t{times_.keepAliveSeconds} * 1000;
    std::shared_ptr<BrokerConnection> connection;
    std::string endWords;
    int64_t next = nowMs + keepAliveMs;
    {
        std::lock_guard lock(mutex_);
        if (!connection_ || !endCause_.empty()) {
            return next;
        }
        if (!sessionUp_) {
            // A broker that takes the connection and never answers it.
            const int64_t waited = nowMs - dialledAtMs_;
            if (waited >= keepAliveMs) {
                endWords = SilentBrokerWords(waited);
            } else {
                next = dialledAtMs_ + keepAliveMs;
            }
        } else if (pingOut_ && nowMs - lastHeardMs_ >= keepAliveMs * 3 / 2) {
            endWords = "the broker stopped answering: no PINGRESP within " +
                       std::to_string((nowMs - lastHeardMs_) / 1000) + " s";
        } else if (!pingOut_ && nowMs - lastSentMs_ >= keepAliveMs) {
            pingOut_ = true;
            connection = connection_;
            next = nowMs + keepAliveMs * 3 / 2;
        } else {
            next = pingOut_ ? lastHeardMs_ + keepAliveMs * 3 / 2 : lastSentMs_ + keepAliveMs;
        }
    }
    if (!endWords.empty()) {
        EndConnection(std::move(endWords));
    } else if (connection) {
        SendOn(connection, mqtt::EncodePingreq());
    }
    return next;
}

void StreamFleet::RunPump() {
    int64_t due = SteadyMs();
    for (;;) {
        std::vector<News> news;
        std::optional<std::pair<bool, std::string>> journalHealth;
        bool stopping = false;
        {
            std::unique_lock lock(mutex_);
            changed_.WaitFor(lock, std::max<int64_t>(due - SteadyMs(), 0),
                             [this] { return stopping_ || journalMoved_ || dialled_ || !inbox_.empty() || journalHealth_; });
            news.swap(inbox_);
            journalMoved_ = dialled_ = false;
            journalHealth.swap(journalHealth_);
            stopping = stopping_;
        }
        desk_.Apply(publisher_, news, UnixMs());
        if (journalHealth) {
            publisher_.SetJournalHealth(journalHealth->first, journalHealth->second);
        }
        const int64_t now = SteadyMs();
        due = std::min(publisher_.Step(now), KeepAlive(now));
        PublishStatus();
        if (stopping) {
            break;
        }
    }
    StopPublishing();
    std::lock_guard lock(mutex_);
    pumpDone_ = true;
    changed_.NotifyAll();
}

void StreamFleet::PublishStatus() {
    Json status = publisher_.Status().ToJson();
    status["broker"] = mqtt_.BrokerUrl();
    std::lock_guard lock(mutex_);
    status_ = std::move(status);
}

// The offline health, and a short wait for the broker to take it.
void StreamFleet::StopPublishing() {
    const auto offline = publisher_.Stop();
    // Nothing sent (not connected): nothing to wait for. A wait that ended
    // early would still send the offline health before the DISCONNECT, in
    // the order they were written: a stop of another length, never a lost
    // message.
    if (!offline) {
        return;
    }
    std::unique_lock lock(mutex_);
    changed_.WaitFor(lock, times_.stopAckWaitMs, [&] { return AckedAmong(inbox_, *offline) || !connection_; });
}

} // namespace cashdrawer::agent
