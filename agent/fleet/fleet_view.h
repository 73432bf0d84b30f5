// The head office's view of the fleet, from what the terminals publish:
// each terminal's last health, the newest seq of its events, and every gap
// or break in its chain (an event missing, or a line whose prev is not the
// hash of the one before it). Repeats are dropped by seq, as every
// consumer of the events must (they are sent at least once), but only
// repeats: the same seq with another hash is a fork (the terminal numbered
// a line again that the head office already has), and a terminal whose
// chain id changes (a till set up anew) starts a new chain, its old one's
// head kept. Both are alarms, as are the terminal's own journal alarms.
#pragma once

#include "core/event.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cashdrawer::agent {

struct TerminalView {
    std::string site;
    std::string terminal;
    std::optional<bool> online; // from the retained health; none before it came
    std::string why;            // why offline, in the Will's or the stop's words
    std::string offlineSince;   // when it went offline, as far as anyone knows; empty when not known
    std::vector<std::string> unreachable; // drawers the library cannot reach, with the reason
    std::vector<std::string> leftOpen;    // drawers whose left-open alarm stands
    std::size_t drawers = 0;    // as its last online health named them (a Will names none)
    bool journalOk = true;
    uint64_t lastSeq = 0;  // the newest event seen
    uint64_t healthSeq = 0; // the newest event the terminal's health names (it may be older than the events)
    std::string lastEventTime; // the newest event's time, from the events or the health
    uint64_t events = 0;   // events taken (repeats not counted)
    uint64_t repeats = 0;  // events seen again, dropped
    uint64_t missing = 0;  // seqs that never came between those that did
    uint64_t chainBreaks = 0;
    uint64_t forks = 0;          // seqs seen again with another hash
    std::string lastHash;
    std::string chain;           // the terminal's journal chain, from its health or a first line
    std::vector<std::string> alarms; // forks, new chains, journal alarms: for a person to look at
    struct PastChain {
        std::string chain;
        uint64_t lastSeq;
    };
    std::vector<PastChain> pastChains; // each chain the terminal left, with its head
    uint64_t openJournalAlarms = 0;    // as the terminal's health counts them
    std::map<uint64_t, std::string> recentHashes; // the newest seqs' hashes, to tell a fork from a repeat

    // The newest seq known: from the events, or from the health for a
    // watch that started after them.
    uint64_t NewestSeq() const { return std::max(lastSeq, healthSeq); }
    Json ToJson() const;
};

class FleetView {
public:
    // A message under cashdrawer/v1/; false for a topic or payload that is
    // not one of ours (it changes nothing). `receivedAt` is the watch's
    // time, `retained` whether the broker held the message from before the
    // subscription (its time of sending is then unknown).
    bool Take(const std::string& topic, const std::string& payload, const std::string& receivedAt = "",
              bool retained = false);

    // In site and terminal order.
    std::vector<TerminalView> Terminals() const;
    // One line a terminal, a header first.
    std::string Table() const;
    // `now`: the watch's time, on each line for whoever reads them later.
    Json ToJson(const std::string& now = "") const;

private:
    std::map<std::pair<std::string, std::string>, TerminalView> terminals_;
};

// `cashdrawer-agent fleet watch`: subscribes to cashdrawer/v1/# and prints
// the table (or a JSON line) every `everySeconds`, and once more at the end
// (after `forSeconds`, when not 0; else until interrupted). The exit code.
struct FleetWatchOptions {
    std::string broker; // mqtt://HOST[:PORT] or mqtts://
    std::string caFile;
    std::string credentialsFile;
    std::string certificateFile; // the head office's own client certificate and key
    std::string keyFile;
    bool json = false;
    unsigned everySeconds = 5;
    unsigned forSeconds = 0;
};
int WatchFleet(const FleetWatchOptions& options, std::ostream& out, std::ostream& err);

} // namespace cashdrawer::agent
