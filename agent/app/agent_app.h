// cashdrawer-agent's command line: serve, journal verify|show, stats, pair,
// service. Exit codes:
//   0 done   1 usage   2 the settings are wrong   3 the drawer library
//   cannot be loaded   4 verify found the journal altered or cut
//   5 the journal cannot be used   6 another agent writes the journal
//   7 the system refused a service action   8 the pairings cannot be
//   stored, or the origin to revoke is not paired   9 the bridge cannot
//   listen on its port   10 the journal cannot be read   11 verify found every
//   line as written, but alarms of lines lost or set aside   12 check found
//   only warnings   13 no running agent answers on its local channel
//   14 the kick asked through the agent did not open the drawer
#pragma once

#include "core/event.h"

#include <ostream>
#include <string>

namespace cashdrawer::agent {

enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,
    kExitSettings = 2,
    kExitLibrary = 3,
    kExitJournalAltered = 4,
    kExitJournalUnusable = 5,
    kExitJournalHeld = 6,
    kExitServiceRefused = 7,
    kExitPairing = 8,
    kExitBridge = 9,
    kExitJournalUnreadable = 10,
    kExitJournalAlarms = 11, // every line as written, but lines were lost or set aside (journal verify)
    kExitSettingsWarnings = 12, // the agent would start, but the settings hold what it does not read (check)
    kExitNoAgent = 13,          // kick, status, events: no running agent answers (or it refuses this account)
    kExitKickFailed = 14,       // kick: the drawer did not open (unknown, unreachable, or its sensor did not move)
};

// An event as the console, `journal show` and `events --follow` print it.
std::string DescribeEvent(const JournalledEvent& event);

int RunAgentApp(int argc, char** argv, std::ostream& out, std::ostream& err);

} // namespace cashdrawer::agent
