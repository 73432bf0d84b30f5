// Fleet telemetry: the terminal's health, its journal events and its
// statistics, published to an MQTT broker for the chain's head office.
//
//   cashdrawer/v1/{site}/{terminal}/health      retained; the broker's Last
//                                               Will marks the terminal offline
//   cashdrawer/v1/{site}/{terminal}/events      QoS 1, each journal line as it
//                                               stands (seq, prev and hash)
//   cashdrawer/v1/{site}/{terminal}/statistics  retained, on change, at most
//                                               once a minute
//
// Events are read from the journal, never queued here: the publisher keeps
// the seq the broker last acknowledged (PUBACK) and, after an outage of the
// broker or of the agent, sends every event after it, in order. The head
// office may see an event twice, never a gap.
//
// This is the protocol-free part, driven by one thread: the link's news go
// in through Connected/Refused/Dropped/Acked, and Step does what is due.
#pragma once

#include "watch/drawer_board.h"
#include "core/event.h"
#include "journal/journal.h"
#include "journal/journal_cursor.h"
#include "core/settings.h"
#include "watch/statistics.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace cashdrawer::agent {

// What the publisher needs of an MQTT client.
class MqttLink {
public:
    virtual ~MqttLink() = default;
    // Queues a QoS 1 message; its message id, or nothing when it could not
    // be queued (the link is down).
    virtual std::optional<int> Publish(const std::string& topic, const std::string& payload, bool retain) = 0;
};

// Where the broker's acknowledged seq is kept across restarts.
class AckStore {
public:
    virtual ~AckStore() = default;
    virtual uint64_t Load() = 0;
    virtual bool Save(uint64_t seq) = 0;
};
// fleet-acked.json in the journal folder, replaced whole through a rename.
std::unique_ptr<AckStore> MakeFolderAckStore(const std::string& journalFolder);

struct FleetTopics {
    std::string health;
    std::string events;
    std::string statistics;
};
FleetTopics TopicsOf(const std::string& site, const std::string& terminal);

// The retained health a broker publishes for a terminal that vanished (the
// Will: no time, as it is written at the connection) or that stopped (with
// the time of its last event, the stop's).
std::string OfflineHealth(const std::string& site, const std::string& terminal, const std::string& why,
                          const std::string& since = "");

struct FleetOptions {
    std::string site;
    std::string terminal;
    std::string broker; // as the health names it
    std::string agentVersion;
    std::string libraryVersion;
    std::size_t window = kMaxEventsInFlight; // events sent and not yet acknowledged, at most
    int64_t statisticsEveryMs = 60'000;   // a retained statistics message at most this often, and a health
                                          // whose only news is a newer seq
    int64_t saveAckEveryMs = 1'000;       // the acknowledged seq written at most this often
};

// What the agent's own health says of the publisher.
struct FleetStatus {
    std::string state = "connecting"; // "connecting", "connected", "failing"
    std::string cause;                // why not connected, in the client's or the broker's words
    std::string nextAttempt;          // when the client tries again (UTC), while not connected
    uint64_t ackedSeq = 0;            // the last event the broker has, every one before it too
    uint64_t journalSeq{};            // the journal's newest event the publisher has read (set by each step)
    std::string journalProblem;       // set when the journal cannot be read on

    Json ToJson() const;
};

class FleetPublisher {
public:
    // `countedSoFar`: the agent's statistics as it starts (from their
    // snapshot), so that the publisher reads the journal on from their last
    // seq rather than from its start; without them, it counts for itself.
    FleetPublisher(FleetOptions options, const std::vector<WatchedDrawer>& drawers, MqttLink& link,
                   const std::string& journalFolder, AckStore& acks, const Statistics* countedSoFar = nullptr);

    // The link's news.
    void Connected();
    // `nextAttempt`: when the client tries again, as the health tells it.
    void Refused(const std::string& cause, const std::string& nextAttempt = ""); // a connection attempt failed
    void Dropped(const std::string& cause, const std::string& nextAttempt = ""); // a live connection ended
    void Acked(int messageId);

    // The agent's journal failing or taking lines again.
    void SetJournalHealth(bool ok, const std::string& failure);

    // Reads what the journal has added, publishes what is due; the time of
    // the next thing due, at the latest (statistics, the saving of the seq).
    int64_t Step(int64_t nowMs);

    // The agent stops: the last acknowledged seq is saved; while connected,
    // the health says offline (a clean disconnect sends no Will).
    // Returns the offline health's message id, to wait for before disconnecting.
    std::optional<int> Stop();

    const FleetStatus& Status() const { return status_; }
    // The health as published now.
    Json Health(bool online) const;

private:
    void ReadNewEvents();
    void SendEvents();
    void PublishHealthIfChanged(int64_t nowMs);
    void PublishStatisticsIfDue(int64_t nowMs);
    void Rewind();

    FleetOptions options_;
    FleetTopics topics_;
    MqttLink& link_;
    AckStore& acks_;
    std::string journalFolder_;
    std::string chain_;  // the journal's, from its first line
    JournalCursor scan_; // every event (from the statistics' start), for the health and the statistics
    JournalCursor send_; // the events still to go to the broker
    DrawerBoard board_;
    Statistics statistics_;
    FleetStatus status_;
    bool connected_ = false;
    bool journalOk_ = true;
    std::string journalFailure_;
    std::map<int, uint64_t> inFlight_;    // message id -> seq
    std::set<uint64_t> ackedAhead_;       // acknowledged past a seq still in flight
    std::optional<Json> healthSent_;      // what the broker holds
    int64_t healthSentAtMs_{};            // read only once healthSent_ holds a health
    uint64_t lastSeq_{};                  // the newest event read, and its time
    std::string lastEventTime_;
    std::set<std::string> leftOpen_;      // drawers whose left-open alarm stands (not closed since)
    std::optional<Json> statisticsSent_;  // the figures the broker holds
    int64_t statisticsSentAtMs_{};        // read only once statisticsSent_ holds figures
    uint64_t ackSaved_{}; // the constructor sets it to the seq it loads
    int64_t ackSavedAtMs_ = 0;
};

} // namespace cashdrawer::agent
