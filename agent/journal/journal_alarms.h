// The journal's open alarms. Each journal-cut or journal-altered line the
// agent writes stays in its health (/v1/health, the fleet's retained
// health) until a technician has looked and acknowledged it:
//
//   cashdrawer-agent journal alarms                    the alarms, open first
//   cashdrawer-agent journal alarms --acknowledge SEQ  closes one
//
// They are kept in journal-alarms.json beside the journal, so that neither
// the health nor the command reads the journal for them. The agent adds an
// entry when it journals an alarm; the command marks one acknowledged, with
// who and when. The journal's line stays the evidence either way.
#pragma once

#include "core/event.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cashdrawer::agent {

struct JournalAlarm {
    uint64_t seq = 0;
    std::string kind;
    std::string time;
    std::string problem;
    std::string acknowledgedBy; // empty while open
    std::string acknowledgedTime;

    bool Open() const { return acknowledgedBy.empty(); }
    Json ToJson() const;
};

// In seq order; entries not of the file's form are left out.
std::vector<JournalAlarm> ReadJournalAlarms(const std::string& folder);
// The open ones, as the health shows them: [{"seq", "kind", "time", "problem"}].
Json OpenJournalAlarms(const std::string& folder);

// Adds the journalled alarm; false, with `error`, when the file cannot be written.
bool RecordJournalAlarm(const std::string& folder, const JournalledEvent& alarm, std::string& error);

enum class Acknowledged { Done, NoSuchAlarm, AlreadyAcknowledged, Failed };
Acknowledged AcknowledgeJournalAlarm(const std::string& folder, uint64_t seq, const std::string& by,
                                     const std::string& time, std::string& error);

} // namespace cashdrawer::agent
