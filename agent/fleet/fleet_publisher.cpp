#include "fleet/fleet_publisher.h"

#include "core/json_text.h"

#include "fleet/fleet_service.h"

#include "journal/journal.h"
#include "journal/journal_alarms.h"
#include "journal/journal_line.h"
#include "os/owner_only_file.h"

#include <algorithm>
#include <limits>

namespace cashdrawer::agent {
namespace {

class FolderAckStore final : public AckStore {
public:
    explicit FolderAckStore(const std::string& folder) : path_(folder + "/fleet-acked.json") {}

    uint64_t Load() override {
        const auto text = ReadFileBytes(path_, kMaxSmallFileBytes);
        if (!text) {
            return 0;
        }
        const Json json = ParseJsonText(*text);
        // A file that cannot be read as ours (a seq no journal reaches
        // among them) means sending everything again: the head office drops
        // what it has by seq.
        const uint64_t acked = FieldOr(json, "ackedSeq", uint64_t{0});
        return acked <= kMaxSeq ? acked : 0;
    }
    bool Save(uint64_t seq) override {
        std::string error;
        return WriteOwnerOnlyFile(path_, Json{{"ackedSeq", seq}}.dump() + "\n", error);
    }

private:
    std::string path_;
};

} // namespace

std::unique_ptr<AckStore> MakeFolderAckStore(const std::string& journalFolder) {
    return std::make_unique<FolderAckStore>(journalFolder);
}

FleetTopics TopicsOf(const std::string& site, const std::string& terminal) {
    const std::string base = "cashdrawer/v1/" + site + "/" + terminal + "/";
    return {base + "health", base + "events", base + "statistics"};
}

std::string OfflineHealth(const std::string& site, const std::string& terminal, const std::string& why,
                          const std::string& since) {
    Json health{{"online", false}, {"site", site}, {"terminal", terminal}, {"why", why}};
    if (!since.empty()) {
        health["since"] = since;
    }
    return health.dump();
}

Json FleetStatus::ToJson() const {
    Json json{{"state", state}, {"ackedSeq", ackedSeq}, {"journalSeq", journalSeq}};
    if (!cause.empty()) {
        json["cause"] = cause;
    }
    if (!nextAttempt.empty()) {
        json["nextAttempt"] = nextAttempt;
    }
    if (!journalProblem.empty()) {
        json["journalProblem"] = journalProblem;
    }
    return json;
}

FleetPublisher::FleetPublisher(FleetOptions options, const std::vector<WatchedDrawer>& drawers, MqttLink& link,
                               const std::string& journalFolder, AckStore& acks, const Statistics* countedSoFar)
    : options_(std::move(options)), topics_(TopicsOf(options_.site, options_.terminal)), link_(link), acks_(acks),
      journalFolder_(journalFolder), scan_(journalFolder), send_(journalFolder), board_(drawers) {
    status_.ackedSeq = acks_.Load();
    ackSaved_ = status_.ackedSeq;
    send_.SeekAfter(status_.ackedSeq);
    if (countedSoFar != nullptr && countedSoFar->LastSeq() != 0) {
        // The drawers' states come again from the agent's start; the
        // chain's name from the journal's first line.
        statistics_ = *countedSoFar;
        scan_.SeekAfter(countedSoFar->LastSeq());
        JournalCursor first(journalFolder);
        first.Read(1, [this](const JournalledEvent& event) { chain_ = ChainIdOf(event); });
    }
}

void FleetPublisher::Rewind() {
    inFlight_.clear();
    // What the old session had acknowledged ahead did reach the broker, so
    // keeping it would count nothing wrongly; it goes so that the set holds
    // only seqs of the session now sending (a kept one would be counted at
    // the next ack, and its resent copy's ack would then stay in the set
    // for good). No test sees the set, only the acknowledged seq.
    ackedAhead_.clear();
    send_.SeekAfter(status_.ackedSeq);
}

void FleetPublisher::Connected() {
    connected_ = true;
    status_.state = "connected";
    status_.cause.clear();
    status_.nextAttempt.clear();
    // The broker may hold the Will by now: the health goes again. So do the
    // statistics: a broker that restarted without its store has lost them.
    healthSent_.reset();
    statisticsSent_.reset();
    Rewind();
}

void FleetPublisher::Refused(const std::string& cause, const std::string& nextAttempt) {
    connected_ = false;
    status_.state = "failing";
    status_.cause = cause;
    status_.nextAttempt = nextAttempt;
    Rewind();
}

void FleetPublisher::Dropped(const std::string& cause, const std::string& nextAttempt) {
    connected_ = false;
    status_.state = "connecting";
    status_.cause = cause;
    status_.nextAttempt = nextAttempt;
    Rewind();
}

void FleetPublisher::Acked(int messageId) {
    const auto found = inFlight_.find(messageId);
    if (found == inFlight_.end()) {
        return; // the health, the statistics, or a message from before a rewind
    }
    const uint64_t seq = found->second;
    inFlight_.erase(found);
    if (seq != status_.ackedSeq + 1) {
        ackedAhead_.insert(seq);
        return;
    }
    status_.ackedSeq = seq;
    while (ackedAhead_.erase(status_.ackedSeq + 1) == 1) {
        ++status_.ackedSeq;
    }
}

void FleetPublisher::SetJournalHealth(bool ok, const std::string& failure) {
    journalOk_ = ok;
    journalFailure_ = ok ? "" : failure;
}

Json FleetPublisher::Health(bool online) const {
    Json drawers = Json::array();
    for (const DrawerView& view : board_.All()) {
        // Before the drawer's first read nobody knows: null, not false.
        Json one{{"id", view.id}, {"reachable", view.lastSeq == 0 ? Json(nullptr) : Json(view.reachable)}};
        if (!view.reason.empty()) {
            one["reason"] = view.reason;
        }
        if (leftOpen_.contains(view.id)) {
            one["leftOpen"] = true;
        }
        drawers.push_back(one);
    }
    Json journal{{"ok", journalOk_ && status_.journalProblem.empty()}, {"alarms", OpenJournalAlarms(journalFolder_)}};
    if (!journalFailure_.empty() || !status_.journalProblem.empty()) {
        journal["failure"] = journalFailure_.empty() ? status_.journalProblem : journalFailure_;
    }
    return Json{{"online", online},
                {"chain", chain_},
                {"site", options_.site},
                {"terminal", options_.terminal},
                {"agent", options_.agentVersion},
                {"library", options_.libraryVersion},
                {"drawers", drawers},
                {"journal", journal},
                {"lastSeq", lastSeq_},
                {"lastEventTime", lastEventTime_.empty() ? Json(nullptr) : Json(lastEventTime_)}};
}

void FleetPublisher::ReadNewEvents() {
    scan_.Read(std::numeric_limits<std::size_t>::max(), [this](const JournalledEvent& event) {
        if (chain_.empty()) {
            chain_ = ChainIdOf(event); // the scan starts at the journal's first line
        }
        board_.Add(event);
        statistics_.Add(event);
        lastSeq_ = event.seq;
        lastEventTime_ = event.time;
        const std::string drawer = FieldOr(event.fields, "drawer", std::string());
        if (event.kind == kind::kLeftOpen) {
            leftOpen_.insert(drawer);
        } else if (event.kind == kind::kClosed || event.kind == kind::kStateChanged || event.kind == kind::kUnreachable) {
            leftOpen_.erase(drawer);
        }
    });
    status_.journalSeq = scan_.Position();
    status_.journalProblem = !scan_.Problem().empty() ? scan_.Problem() : send_.Problem();
}

// Without the newest seq and its time, which change with every event.
static Json WithoutTheSeq(Json health) {
    health.erase("lastSeq");
    health.erase("lastEventTime");
    return health;
}

void FleetPublisher::PublishHealthIfChanged(int64_t nowMs) {
    const Json health = Health(true);
    if (healthSent_ == health) {
        return;
    }
    // A change of state goes at once; a newer seq alone (every event brings
    // one, and the events topic has each) at most once a period.
    const bool seqOnly = healthSent_ && WithoutTheSeq(*healthSent_) == WithoutTheSeq(health);
    if (seqOnly && nowMs - healthSentAtMs_ < options_.statisticsEveryMs) {
        return;
    }
    if (link_.Publish(topics_.health, health.dump(), true)) {
        healthSent_ = health;
        healthSentAtMs_ = nowMs;
    }
}

void FleetPublisher::SendEvents() {
    while (connected_ && inFlight_.size() < options_.window) {
        bool queued = true;
        const std::size_t read = send_.Read(options_.window - inFlight_.size(), [&](const JournalledEvent& event) {
            if (!queued) {
                return;
            }
            const auto messageId = link_.Publish(topics_.events, event.line, false);
            if (messageId) {
                inFlight_[*messageId] = event.seq;
            } else {
                queued = false;
            }
        });
        if (!queued) {
            // The link went down under us; its news follows. What was not
            // queued is read again from the journal then.
            Dropped("the client could not queue a message");
            return;
        }
        if (read == 0) {
            return;
        }
    }
}

void FleetPublisher::PublishStatisticsIfDue(int64_t nowMs) {
    const Json figures = statistics_.ToJson();
    if (statisticsSent_ == figures["drawers"]) {
        return;
    }
    if (statisticsSent_ && nowMs - statisticsSentAtMs_ < options_.statisticsEveryMs) {
        return;
    }
    if (link_.Publish(topics_.statistics, figures.dump(), true)) {
        statisticsSent_ = figures["drawers"];
        statisticsSentAtMs_ = nowMs;
    }
}

int64_t FleetPublisher::Step(int64_t nowMs) {
    ReadNewEvents();
    if (connected_) {
        PublishHealthIfChanged(nowMs);
        SendEvents();
        PublishStatisticsIfDue(nowMs);
    }
    int64_t next = nowMs + 1000;
    if (status_.ackedSeq != ackSaved_) {
        const int64_t due = ackSavedAtMs_ + options_.saveAckEveryMs;
        if (nowMs >= due) {
            if (acks_.Save(status_.ackedSeq)) {
                ackSaved_ = status_.ackedSeq;
            }
            ackSavedAtMs_ = nowMs;
        } else {
            next = std::min(next, due);
        }
    }
    if (connected_ && statisticsSent_ && statisticsSent_ != statistics_.ToJson()["drawers"]) {
        next = std::min(next, statisticsSentAtMs_ + options_.statisticsEveryMs);
    }
    if (connected_ && healthSent_ && (*healthSent_)["lastSeq"] != lastSeq_) {
        next = std::min(next, healthSentAtMs_ + options_.statisticsEveryMs);
    }
    return next;
}

std::optional<int> FleetPublisher::Stop() {
    if (status_.ackedSeq != ackSaved_ && acks_.Save(status_.ackedSeq)) {
        ackSaved_ = status_.ackedSeq;
    }
    if (!connected_) {
        return std::nullopt;
    }
    ReadNewEvents(); // the agent's stop is journalled by now: its time is the health's
    return link_.Publish(topics_.health,
                         OfflineHealth(options_.site, options_.terminal, "the agent was stopped", lastEventTime_), true);
}

} // namespace cashdrawer::agent
