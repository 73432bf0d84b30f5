#include "fleet/stream_watch.h"

#include "core/agent_thread.h"
#include "fleet/mqtt_codec.h"
#include "journal/journal_line.h"
#include "os/random.h"

#include <chrono>
#include <memory>
#include <vector>

namespace cashdrawer::agent {
namespace {

constexpr const char* kEverything = "cashdrawer/v1/#";
constexpr uint16_t kSubscriptionId = 1;

std::string NowUtc() {
    return FormatUtcMillis(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

// One connection's reader: the broker's packets in, the publications
// queued for the watch's own thread.
class WatchConnection {
public:
    explicit WatchConnection(std::shared_ptr<BrokerConnection> connection) : connection_(std::move(connection)) {}
    ~WatchConnection() {
        connection_->Close();
        reader_.Join();
    }

    bool Start(const mqtt::ConnectRequest& request) {
        const auto connect = mqtt::EncodeConnect(request);
        if (!connect || !Send(*connect)) {
            return false;
        }
        return reader_.Start([this] { Read(); });
    }

    bool Send(const std::string& bytes) {
        std::lock_guard lock(sending_);
        if (!connection_->Send(bytes)) {
            connection_->Close();
            return false;
        }
        lastSent_ = std::chrono::steady_clock::now();
        return true;
    }

    // What came since the last call; false once the connection ended.
    bool Take(std::vector<mqtt::Publish>& publications, std::string& refusal, bool& accepted) {
        std::lock_guard lock(mutex_);
        publications.swap(inbox_);
        refusal = std::exchange(refusal_, std::string());
        accepted = accepted_;
        return !ended_;
    }

    void Wait(int64_t mostMs) {
        std::unique_lock lock(mutex_);
        changed_.WaitFor(lock, mostMs, [this] { return ended_ || !inbox_.empty() || !refusal_.empty(); });
    }

    std::chrono::steady_clock::time_point LastSent() {
        std::lock_guard lock(sending_);
        return lastSent_;
    }

    void Close() { connection_->Close(); }

private:
    void Read() {
        mqtt::PacketReader reader;
        std::string bytes;
        bool going = true;
        while (going) {
            bytes.clear();
            if (!connection_->Receive(bytes)) {
                break;
            }
            reader.Feed(bytes);
            std::string error;
            while (going) {
                const auto packet = reader.Next(error);
                if (!packet) {
                    going = error.empty();
                    if (!error.empty()) {
                        Refuse(error);
                    }
                    break;
                }
                going = Handle(*packet);
            }
        }
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.NotifyAll();
    }

    // False when the connection is to end.
    bool Handle(const mqtt::Packet& packet) {
        switch (packet.type) {
        case mqtt::PacketType::Connack: {
            const auto connack = mqtt::ParseConnack(packet);
            if (!connack || connack->returnCode != 0) {
                Refuse(connack ? mqtt::ConnackWords(connack->returnCode) : "a malformed CONNACK");
                return false;
            }
            {
                std::lock_guard lock(mutex_);
                accepted_ = true;
            }
            return Send(*mqtt::EncodeSubscribe(kSubscriptionId, kEverything, 1));
        }
        case mqtt::PacketType::Suback: {
            const auto suback = mqtt::ParseSuback(packet);
            if (!suback || suback->grantedQos.empty() || suback->grantedQos[0] == 0x80) {
                Refuse(std::string("the subscription to ") + kEverything + " was refused");
                return false;
            }
            return true;
        }
        case mqtt::PacketType::Publish: {
            auto publish = mqtt::ParsePublish(packet);
            if (!publish) {
                Refuse("a malformed PUBLISH");
                return false;
            }
            if (publish->qos == 1 && !Send(mqtt::EncodePuback(publish->packetId))) {
                return false;
            }
            std::lock_guard lock(mutex_);
            inbox_.push_back(std::move(*publish));
            changed_.NotifyAll();
            return true;
        }
        case mqtt::PacketType::Pingresp: return true;
        default:
            Refuse("a packet of type " + std::to_string(static_cast<int>(packet.type)) + ", which a watch never gets");
            return false;
        }
    }

    void Refuse(const std::string& refusal) {
        std::lock_guard lock(mutex_);
        refusal_ = refusal;
        changed_.NotifyAll();
    }

    std::shared_ptr<BrokerConnection> connection_;
    AgentThread reader_;
    AgentMutex sending_;
    std::chrono::steady_clock::time_point lastSent_ = std::chrono::steady_clock::now();
    AgentMutex mutex_;
    AgentCondition changed_;
    std::vector<mqtt::Publish> inbox_;
    std::string refusal_;
    bool accepted_ = false;
    bool ended_ = false;
};

} // namespace

int WatchFleetOver(BrokerDialer& dialer, const FleetWatchOptions& options, const std::optional<WatchLogin>& login,
                   std::ostream& out, std::ostream& err, const std::function<bool()>& interrupted,
                   int keepAliveSeconds) {
    mqtt::ConnectRequest request;
    // A name of its own for each watch, as the Linux watch's client gives.
    request.clientId = "auto-" + RandomHex(8);
    request.keepAliveSeconds = static_cast<uint16_t>(keepAliveSeconds);
    if (login) {
        request.username = login->username;
        if (!login->password.empty()) {
            request.password = login->password;
        }
    }
    FleetView view;
    bool everAccepted = false;
    std::string lastWords;
    const auto say = [&](const std::string& words) {
        if (words != lastWords) {
            err << "cashdrawer-agent: fleet watch: " << words << "\n" << std::flush;
            lastWords = words;
        }
    };
    const auto print = [&] {
        out << (options.json ? view.ToJson(NowUtc()).dump() + "\n" : view.Table() + "\n") << std::flush;
    };
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(options.forSeconds);
    auto nextPrint = start + std::chrono::seconds(options.everySeconds);
    auto nextDial = start;
    const auto over = [&] { return interrupted() || (options.forSeconds != 0 && Clock::now() >= end); };
    std::unique_ptr<WatchConnection> connection;
    while (!over()) {
        if (!connection && Clock::now() >= nextDial) {
            std::string cause;
            std::shared_ptr<BrokerConnection> opened = dialer.Dial(cause);
            if (opened) {
                connection = std::make_unique<WatchConnection>(std::move(opened));
                if (!connection->Start(request)) {
                    connection.reset();
                    cause = "the broker cannot be written to";
                }
            }
            if (!connection) {
                say(options.broker + ": " + cause);
                // A try a second, as the Linux watch makes.
                nextDial = Clock::now() + std::chrono::seconds(1);
            }
        }
        if (connection) {
            connection->Wait(100);
            std::vector<mqtt::Publish> publications;
            std::string refusal;
            bool accepted = false;
            const bool open = connection->Take(publications, refusal, accepted);
            everAccepted = everAccepted || accepted;
            for (const mqtt::Publish& publish : publications) {
                view.Take(publish.topic, publish.payload, NowUtc(), publish.retain);
            }
            if (!refusal.empty()) {
                say("the broker refused: " + refusal);
            }
            if (!open) {
                connection.reset();
                nextDial = Clock::now() + std::chrono::seconds(1);
            } else if (Clock::now() - connection->LastSent() >= std::chrono::seconds(keepAliveSeconds)) {
                connection->Send(mqtt::EncodePingreq());
            }
        } else {
            SleepMs(100);
        }
        const auto now = Clock::now();
        if (options.everySeconds != 0 && now >= nextPrint) {
            print();
            nextPrint = now + std::chrono::seconds(options.everySeconds);
        }
    }
    print();
    if (connection) {
        // A polite goodbye: the broker logs a disconnection, not a
        // connection that just closed.
        connection->Send(mqtt::EncodeDisconnect());
        connection.reset();
    }
    return everAccepted ? 0 : 1;
}

} // namespace cashdrawer::agent
