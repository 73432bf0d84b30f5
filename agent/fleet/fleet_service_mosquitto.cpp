// The fleet publisher on libmosquitto. Two threads:
//   - the network thread runs the client's loop, and reconnects after any
//     failure with a growing pause (the library's own loop gives up for
//     good on a TLS or an authentication failure; a till's publisher must
//     not: nothing may be lost once the broker is fixed);
//   - the pump thread drives the FleetPublisher, woken by each journalled
//     event, by the client's news and by its own timers.
// The client's callbacks run on the network thread and only queue news for
// the pump, under a lock never held while calling the client.
#include "fleet/fleet_service.h"
#include "fleet/reconnect.h"

#include "fleet/fleet_news.h"
#include "fleet/fleet_publisher.h"
#include "journal/journal_line.h"

#include "cash_drawer_version.h"

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace cashdrawer::agent {
namespace {

constexpr int kKeepAliveSeconds = 30;
// How long a stopping agent waits for the broker to take its offline health.
// (Long enough for a broker on the store's network to answer, short enough
// for a service manager's stop; the tests see only that the stop ends.)
constexpr auto kStopAckWait = std::chrono::seconds(2);

// One turn of the client's network loop, waiting at most this long for its
// socket: how soon the network thread sees a stop. (The loop's packet count
// is unused by the library, which asks for 1.)
constexpr int kLoopWaitMs = 200;
int LoopTurn(mosquitto* client) { return mosquitto_loop(client, kLoopWaitMs, 1); }

int64_t UnixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The client's own account of a failed attempt.
std::string ClientFailureWords(int rc, int savedErrno) {
    if (rc == MOSQ_ERR_ERRNO) {
        return std::string("the broker cannot be reached: ") + std::strerror(savedErrno);
    }
    if (rc == MOSQ_ERR_EAI) {
        return "the broker's name cannot be resolved";
    }
    return std::string("the connection to the broker failed: ") + mosquitto_strerror(rc);
}

using News = FleetNews;

class MosquittoFleet final : public FleetService, private MqttLink {
public:
    MosquittoFleet(const AgentSettings& settings, const std::string& libraryVersion,
                   std::function<void(const std::string&)> log, const Statistics* countedSoFar)
        : mqtt_(settings.mqtt), desk_(mqtt_.BrokerUrl(), std::move(log)), acks_(MakeFolderAckStore(settings.journalFolder)),
          publisher_(FleetOptions{mqtt_.site, mqtt_.terminal, mqtt_.BrokerUrl(), CASH_DRAWER_VERSION, libraryVersion},
                     settings.drawers, *this, settings.journalFolder, *acks_, countedSoFar) {}

    ~MosquittoFleet() override {
        Stop();
        if (client_ != nullptr) {
            mosquitto_destroy(client_);
        }
    }

    bool Start(std::string& error) {
        static std::once_flag initialised;
        std::call_once(initialised, [] { mosquitto_lib_init(); });
        client_ = mosquitto_new(mqtt_.clientId.c_str(), true, this);
        // The settings pass only client ids the library takes (plain,
        // well-formed UTF-8), so this fails only when memory runs out: no
        // test here can see its text.
        if (client_ == nullptr) {
            error = "the MQTT client cannot be made: " + std::string(std::strerror(errno));
            return false;
        }
        // Publications only queue; the network thread writes them. The
        // library is told that two threads of ours use the client: without
        // it, it takes single-threaded shortcuts, and a race between our
        // threads (which no test can stage on demand) may crash it.
        mosquitto_threaded_set(client_, true);
        mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        const FleetTopics topics = TopicsOf(mqtt_.site, mqtt_.terminal);
        const std::string will =
            OfflineHealth(mqtt_.site, mqtt_.terminal, "the agent vanished: the broker lost its connection");
        int rc = mosquitto_will_set(client_, topics.health.c_str(), static_cast<int>(will.size()), will.data(), 1, true);
        if (rc == MOSQ_ERR_SUCCESS && !mqtt_.username.empty()) {
            rc = mosquitto_username_pw_set(client_, mqtt_.username.c_str(),
                                           mqtt_.password.empty() ? nullptr : mqtt_.password.c_str());
        }
        if (rc == MOSQ_ERR_SUCCESS && mqtt_.tls) {
            // The named CA, or the system's store; the broker's name is checked.
            rc = mosquitto_tls_set(client_, mqtt_.caFile.empty() ? nullptr : mqtt_.caFile.c_str(),
                                   mqtt_.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                                   mqtt_.certificateFile.empty() ? nullptr : mqtt_.certificateFile.c_str(),
                                   mqtt_.keyFile.empty() ? nullptr : mqtt_.keyFile.c_str(), nullptr);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            error = std::string("the MQTT client cannot be set up: ") + mosquitto_strerror(rc);
            return false;
        }
        mosquitto_connect_callback_set(client_, [](mosquitto*, void* self, int code) {
            auto* fleet = static_cast<MosquittoFleet*>(self);
            if (code == 0) {
                fleet->sessionUp_ = true;
                fleet->Tell({News::Kind::Connected, 0, ""});
            } else {
                fleet->SetCause(std::string("the broker refused the connection: ") + mosquitto_connack_string(code));
            }
        });
        mosquitto_publish_callback_set(client_, [](mosquitto*, void* self, int messageId) {
            static_cast<MosquittoFleet*>(self)->Tell({News::Kind::Acked, messageId, ""});
        });
        mosquitto_log_callback_set(client_, [](mosquitto*, void* self, int level, const char* text) {
            if ((level & MOSQ_LOG_ERR) != 0 && text != nullptr) {
                static_cast<MosquittoFleet*>(self)->SetCause(text);
            }
        });
        network_ = std::thread([this] { RunNetwork(); });
        pump_ = std::thread([this] { RunPump(); });
        return true;
    }

    void Wake() {
        std::lock_guard lock(mutex_);
        journalMoved_ = true;
        changed_.notify_all();
    }

    Json Status() const override {
        std::lock_guard lock(mutex_);
        return status_;
    }

    void SetJournalHealth(bool ok, const std::string& failure) override {
        std::lock_guard lock(mutex_);
        journalHealth_ = {ok, failure};
        // At once, rather than at the pump's next look within the second
        // (see its wait): a latency no pass/fail test can tell.
        changed_.notify_all();
    }

    void Stop() override {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
            stopping_ = true;
            changed_.notify_all();
        }
        if (pump_.joinable()) {
            pump_.join();
        }
        if (network_.joinable()) {
            network_.join();
        }
    }

private:
    // From the network thread's callbacks, or the pump's.
    void Tell(News news) {
        std::lock_guard lock(mutex_);
        if (news.kind == News::Kind::Connected) {
            backoff_.SessionTaken();
            failureWords_.Forget();
        }
        inbox_.push_back(std::move(news));
        changed_.notify_all();
    }
    void SetCause(std::string cause) {
        std::lock_guard lock(mutex_);
        failureWords_.Note(std::move(cause));
    }

    std::optional<int> Publish(const std::string& topic, const std::string& payload, bool retain) override {
        int messageId = 0;
        const int rc = mosquitto_publish(client_, &messageId, topic.c_str(), static_cast<int>(payload.size()),
                                         payload.data(), 1, retain);
        return rc == MOSQ_ERR_SUCCESS ? std::optional<int>(messageId) : std::nullopt;
    }

    // The words noted for this failure, else the client's own (or, with
    // NoNotedWords, nothing).
    static constexpr bool NoNotedWords = true;
    std::string FailureCause(int rc, int savedErrno, bool emptyWhenNoneNoted = false) {
        std::lock_guard lock(mutex_);
        return failureWords_.Take(emptyWhenNoneNoted ? std::string() : ClientFailureWords(rc, savedErrno));
    }

    bool Stopping() {
        std::lock_guard lock(mutex_);
        return stopping_ && pumpDone_;
    }

    // Connects, runs the client's loop, and after a failure waits and tries
    // again, until the pump has finished.
    void RunNetwork() {
        bool first = true;
        bool linked = false;
        auto linkedAt = std::chrono::steady_clock::now();
        while (!Stopping()) {
            if (!linked) {
                const int rc = first ? mosquitto_connect_async(client_, mqtt_.host.c_str(), mqtt_.port, kKeepAliveSeconds)
                                     : mosquitto_reconnect_async(client_);
                const int savedErrno = errno;
                first = false;
                if (rc != MOSQ_ERR_SUCCESS) {
                    Fail(false, FailureCause(rc, savedErrno));
                    continue;
                }
                linked = true;
                linkedAt = std::chrono::steady_clock::now();
            }
            const int rc = LoopTurn(client_);
            const int savedErrno = errno;
            if (rc == MOSQ_ERR_SUCCESS) {
                continue;
            }
            linked = false;
            if (Stopping()) {
                break;
            }
            std::string cause = FailureCause(rc, savedErrno, NoNotedWords);
            const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - linkedAt);
            if (cause.empty()) {
                // Nothing the broker or the TLS layer said: a broker that
                // never answered shows as the keep-alive running out (the
                // client counts it in whole seconds, so it may end a little
                // short of the keep-alive; any other failure ends far sooner).
                cause = !sessionUp_ && waited >= std::chrono::seconds(kKeepAliveSeconds / 2)
                            ? SilentBrokerWords(waited.count())
                            : ClientFailureWords(rc, savedErrno);
            }
            Fail(sessionUp_, std::move(cause));
        }
        mosquitto_disconnect(client_);
        LoopTurn(client_); // sends the DISCONNECT, so the broker keeps the Will
    }

    // A failure: the pump is told, and the next attempt waits its turn.
    void Fail(bool wasConnected, std::string cause) {
        sessionUp_ = false;
        std::unique_lock lock(mutex_);
        const auto pause = std::chrono::milliseconds(backoff_.WaitAfterFailureMs(jitter_(random_)));
        inbox_.push_back({wasConnected ? News::Kind::Dropped : News::Kind::Refused, 0, std::move(cause), pause.count()});
        changed_.notify_all();
        // Cut short only when the whole stop is done. (Cut short at the stop's
        // start, the thread would try again at once while the pump finishes,
        // a few milliseconds while disconnected: extra attempts no test can
        // count reliably, and nothing else.)
        changed_.wait_for(lock, pause, [this] { return stopping_ && pumpDone_; });
    }

    void RunPump() {
        int64_t due = SteadyMs();
        for (;;) {
            std::vector<News> news;
            std::optional<std::pair<bool, std::string>> journalHealth;
            bool stopping = false;
            {
                std::unique_lock lock(mutex_);
                // Any news wakes the pump at once. Without it the pump would
                // still come round within the publisher's second (Step's
                // `due`), so a weaker wake-up costs latency, not events; the
                // fleet benchmark's figures show that, no pass/fail test can.
                changed_.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(due - SteadyMs(), 0)),
                                  [this] { return stopping_ || journalMoved_ || !inbox_.empty() || journalHealth_; });
                news.swap(inbox_);
                journalMoved_ = false;
                journalHealth.swap(journalHealth_);
                stopping = stopping_;
            }
            desk_.Apply(publisher_, news, UnixMs());
            if (journalHealth) {
                publisher_.SetJournalHealth(journalHealth->first, journalHealth->second);
            }
            due = publisher_.Step(SteadyMs());
            PublishStatus();
            if (stopping) {
                break;
            }
        }
        StopPublishing();
        std::lock_guard lock(mutex_);
        pumpDone_ = true;
        changed_.notify_all();
    }

    void PublishStatus() {
        Json status = publisher_.Status().ToJson();
        status["broker"] = mqtt_.BrokerUrl();
        std::lock_guard lock(mutex_);
        status_ = std::move(status);
    }

    // The offline health, and a short wait for the broker to take it.
    void StopPublishing() {
        const auto offline = publisher_.Stop();
        if (!offline) {
            return;
        }
        // The offline health's acknowledgement ends the wait early. A wrong
        // match below ends it at another acknowledgement, or only at the
        // deadline; either way the message is sent all the same, as the
        // library writes its packets in the order they were queued and the
        // disconnect is queued after it: a stop of another length, never a
        // lost message.
        const auto deadline = std::chrono::steady_clock::now() + kStopAckWait;
        std::unique_lock lock(mutex_);
        for (;;) {
            if (AckedAmong(inbox_, *offline)) {
                return;
            }
            inbox_.clear();
            if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
                return;
            }
        }
    }

    MqttSettings mqtt_;
    FleetNewsDesk desk_; // the pump thread's
    std::unique_ptr<AckStore> acks_;
    FleetPublisher publisher_; // the pump thread's
    mosquitto* client_ = nullptr;
    std::thread network_;
    std::thread pump_;
    bool sessionUp_ = false; // the network thread's: a CONNACK was taken

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<News> inbox_;
    bool journalMoved_ = false;
    std::optional<std::pair<bool, std::string>> journalHealth_;
    bool stopping_ = false;
    bool pumpDone_ = false;
    ReconnectBackoff backoff_;
    std::minstd_rand random_{std::random_device{}()};
    std::uniform_real_distribution<double> jitter_{0.5, 1.0};
    FailureWords failureWords_;
    Json status_ = Json{{"state", "connecting"}};
};

} // namespace

std::unique_ptr<FleetService> StartFleetService(const AgentSettings& settings, Agent& agent,
                                                const std::string& libraryVersion,
                                                std::function<void(const std::string&)> log, std::string& error,
                                                const Statistics* countedSoFar) {
    if (settings.mqtt.webSocket) {
        error = "the Linux agent's MQTT client speaks MQTT on its own port: Broker=mqtt://HOST[:PORT] or "
                "mqtts://HOST[:PORT] (ws:// and wss:// are for Windows tills)";
        return nullptr;
    }
    if (!settings.mqtt.certificateThumbprint.empty()) {
        error = "a CertificateThumbprint names a certificate in a Windows machine's store: on Linux the till's "
                "certificate is CertificateFile= and KeyFile=";
        return nullptr;
    }
    auto fleet = std::make_unique<MosquittoFleet>(settings, libraryVersion, std::move(log), countedSoFar);
    if (!fleet->Start(error)) {
        return nullptr;
    }
    agent.OnEvent([raw = fleet.get()](const JournalledEvent&) { raw->Wake(); });
    return fleet;
}

} // namespace cashdrawer::agent
