#include "fleet/fleet_view.h"

#include "core/json_text.h"
#include "journal/journal_line.h"

#include <cstdio>

namespace cashdrawer::agent {
namespace {

// "cashdrawer/v1/{site}/{terminal}/{what}": its three last levels.
bool SplitTopic(const std::string& topic, std::string& site, std::string& terminal, std::string& what) {
    static const std::string kPrefix = "cashdrawer/v1/";
    if (!topic.starts_with(kPrefix)) {
        return false;
    }
    const std::string rest = topic.substr(kPrefix.size());
    const std::size_t first = rest.find('/');
    const std::size_t second = first == std::string::npos ? first : rest.find('/', first + 1);
    if (second == std::string::npos || rest.find('/', second + 1) != std::string::npos || first == 0 ||
        second == first + 1) {
        return false;
    }
    site = rest.substr(0, first);
    terminal = rest.substr(first + 1, second - first - 1);
    what = rest.substr(second + 1);
    return true;
}

// Hashes kept per terminal to tell a fork from a repeat: far more than the
// publisher ever has in flight, so any resend falls inside them.
constexpr std::size_t kRecentHashes = 4096;

void StartNewChain(TerminalView& view, const std::string& chain) {
    if (!view.chain.empty()) {
        view.pastChains.push_back({view.chain, view.lastSeq});
        view.alarms.push_back("new chain " + chain + " (the journal was begun anew); chain " + view.chain +
                              " ended at seq " + std::to_string(view.lastSeq));
        view.lastSeq = 0; // the next event is taken as it stands, its link unread
        view.recentHashes.clear();
    }
    view.chain = chain;
}

void TakeChain(TerminalView& view, const Json& message) {
    const std::string chain = FieldOr(message, "chain", std::string());
    if (!chain.empty() && chain != view.chain) {
        StartNewChain(view, chain);
    }
}

void TakeHealth(TerminalView& view, const Json& health, const std::string& receivedAt, bool retained) {
    TakeChain(view, health);
    const bool online = FieldOr(health, "online", false);
    view.why = FieldOr(health, "why", std::string());
    if (!online) {
        // The Will is written at the connection, with no time and no
        // drawers: the drawers stay as the last online health named them,
        // and the time is the stop's, or when this watch saw it go (unknown
        // for one the broker held from before the watch).
        if (view.online != false) {
            view.offlineSince = FieldOr(health, "since", retained ? std::string() : receivedAt);
        }
        view.online = false;
        return;
    }
    view.online = true;
    view.offlineSince.clear();
    view.unreachable.clear();
    view.leftOpen.clear();
    view.drawers = 0;
    if (health.contains("drawers") && health["drawers"].is_array()) {
        for (const Json& drawer : health["drawers"]) {
            ++view.drawers;
            const std::string id = FieldOr(drawer, "id", std::string("?"));
            if (!FieldOr(drawer, "reachable", true)) {
                view.unreachable.push_back(id + " (" + FieldOr(drawer, "reason", std::string()) + ")");
            }
            if (FieldOr(drawer, "leftOpen", false)) {
                view.leftOpen.push_back(id);
            }
        }
    }
    view.journalOk = !health.contains("journal") || FieldOr(health["journal"], "ok", true);
    view.openJournalAlarms = 0;
    if (health.contains("journal") && health["journal"].is_object() && health["journal"].contains("alarms") &&
        health["journal"]["alarms"].is_array()) {
        view.openJournalAlarms = health["journal"]["alarms"].size();
    }
    const uint64_t seq = FieldOr(health, "lastSeq", uint64_t{0});
    if (seq > view.NewestSeq()) {
        view.lastEventTime = FieldOr(health, "lastEventTime", std::string());
    }
    view.healthSeq = std::max(view.healthSeq, seq);
}

void TakeEvent(TerminalView& view, const Json& event) {
    const uint64_t seq = FieldOr(event, "seq", uint64_t{0});
    if (seq == 0) {
        return;
    }
    TakeChain(view, event); // (only a journal's first line names its chain)
    const std::string hash = FieldOr(event, "hash", std::string());
    if (seq <= view.lastSeq) {
        const auto seen = view.recentHashes.find(seq);
        if (seen != view.recentHashes.end() && seen->second != hash) {
            ++view.forks;
            view.alarms.push_back("fork at seq " + std::to_string(seq) + ": another line with that seq (hash " + hash +
                                  ", first " + seen->second + ")");
        } else {
            ++view.repeats;
        }
        return;
    }
    const std::string kind = FieldOr(event, "kind", std::string());
    const bool alarm = IsJournalAlarm(kind);
    if (alarm) {
        view.alarms.push_back("seq " + std::to_string(seq) + " " + kind + ": " +
                              FieldOr(event, "problem", std::string("(no words)")));
    }
    // The first event a watcher sees may be any; from then on each must
    // follow the last, and name its hash. An alarm's jump past lost lines
    // is declared: the seqs it skips are in its alarm, not missing.
    if (view.lastSeq != 0) {
        if (!alarm) {
            view.missing += seq - view.lastSeq - 1;
        }
        if ((seq == view.lastSeq + 1 || alarm) && FieldOr(event, "prev", std::string()) != view.lastHash) {
            ++view.chainBreaks;
        }
    }
    if (seq >= view.healthSeq) {
        view.lastEventTime = FieldOr(event, "time", std::string());
    }
    view.lastSeq = seq;
    view.lastHash = hash;
    view.recentHashes[seq] = hash;
    if (view.recentHashes.size() > kRecentHashes) {
        view.recentHashes.erase(view.recentHashes.begin());
    }
    ++view.events;
}

} // namespace

Json TerminalView::ToJson() const {
    Json pastChainsJson = Json::array();
    for (const PastChain& past : pastChains) {
        pastChainsJson.push_back(Json{{"chain", past.chain}, {"lastSeq", past.lastSeq}});
    }
    return Json{{"site", site},
                {"terminal", terminal},
                {"online", online ? Json(*online) : Json(nullptr)},
                {"why", why},
                {"offlineSince", offlineSince.empty() ? Json(nullptr) : Json(offlineSince)},
                {"drawers", drawers},
                {"unreachable", unreachable},
                {"leftOpen", leftOpen},
                {"journalOk", journalOk},
                {"lastSeq", NewestSeq()},
                {"lastEventTime", lastEventTime.empty() ? Json(nullptr) : Json(lastEventTime)},
                {"events", events},
                {"repeats", repeats},
                {"missing", missing},
                {"chainBreaks", chainBreaks},
                {"forks", forks},
                {"chain", chain},
                {"pastChains", pastChainsJson},
                {"openJournalAlarms", openJournalAlarms},
                {"alarms", alarms}};
}

bool FleetView::Take(const std::string& topic, const std::string& payload, const std::string& receivedAt,
                     bool retained) {
    std::string site;
    std::string terminal;
    std::string what;
    if (!SplitTopic(topic, site, terminal, what) || (what != "health" && what != "events" && what != "statistics")) {
        return false;
    }
    const Json json = ParseJsonText(payload);
    if (!json.is_object()) {
        return false;
    }
    TerminalView& view = terminals_[{site, terminal}];
    view.site = site;
    view.terminal = terminal;
    if (what == "health") {
        TakeHealth(view, json, receivedAt, retained);
    } else if (what == "events") {
        TakeEvent(view, json);
    }
    return true;
}

std::vector<TerminalView> FleetView::Terminals() const {
    std::vector<TerminalView> all;
    for (const auto& [key, view] : terminals_) {
        all.push_back(view);
    }
    return all;
}

std::string FleetView::Table() const {
    std::string table = "terminal                        state    drawers  last seq  missing  breaks  notes\n";
    for (const auto& [key, view] : terminals_) {
        const std::string state = !view.online ? "?" : *view.online ? "online" : "OFFLINE";
        char line[160];
        std::snprintf(line, sizeof line, "%-31s %-8s %3zu/%-3zu  %8llu  %7llu  %6llu  ",
                      (view.site + "/" + view.terminal).c_str(), state.c_str(), view.drawers - view.unreachable.size(),
                      view.drawers, static_cast<unsigned long long>(view.lastSeq),
                      static_cast<unsigned long long>(view.missing), static_cast<unsigned long long>(view.chainBreaks));
        std::string notes = view.why;
        if (view.online == false) {
            notes += (notes.empty() ? "" : "; ") +
                     (view.offlineSince.empty() ? std::string("offline since before this watch")
                                                : "offline since " + view.offlineSince);
        }
        if (!view.lastEventTime.empty()) {
            notes += (notes.empty() ? "" : "; ") + ("last event " + view.lastEventTime);
        }
        for (const std::string& drawer : view.leftOpen) {
            notes += (notes.empty() ? "" : "; ") + ("LEFT OPEN: " + drawer);
        }
        for (const std::string& drawer : view.unreachable) {
            notes += (notes.empty() ? "" : "; ") + ("unreachable: " + drawer);
        }
        if (!view.journalOk) {
            notes += (notes.empty() ? "" : "; ") + std::string("journal failing");
        }
        if (view.openJournalAlarms > 0) {
            notes += (notes.empty() ? "" : "; ") + std::to_string(view.openJournalAlarms) + " journal alarm(s) open";
        }
        for (const std::string& alarm : view.alarms) {
            notes += (notes.empty() ? "" : "; ") + ("ALARM " + alarm);
        }
        table += line + notes + "\n";
    }
    return table;
}

Json FleetView::ToJson(const std::string& now) const {
    Json terminals = Json::array();
    for (const auto& [key, view] : terminals_) {
        terminals.push_back(view.ToJson());
    }
    Json json{{"terminals", terminals}};
    if (!now.empty()) {
        json["time"] = now;
    }
    return json;
}

} // namespace cashdrawer::agent
