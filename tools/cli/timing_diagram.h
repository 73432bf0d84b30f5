// Follows a drawer's drive line through an access trace and draws it as
// text, so a technician sees the kick pulse and its length at a glance.
#pragma once

#include "interface/drawer_methods.h"
#include "sim/access_log.h"
#include "sim/drive_line_trace.h"

#include <string>
#include <vector>

namespace cashdrawer::cli {

using sim::FollowDriveLine;
using sim::LevelChange;

// One interval at one level, between two changes.
struct Pulse {
    int level;
    uint64_t fromMicros;
    uint64_t lengthMicros;
};
std::vector<Pulse> PulsesOf(const std::vector<LevelChange>& changes);

std::string DescribeDriveLine(const DriveLine& line);
// The diagram from `originMicros` (the start of the call) to `endMicros`
// (its end), `width` columns wide, then one line per pulse.
std::string DrawTimingDiagram(const std::vector<LevelChange>& changes, uint64_t originMicros, uint64_t endMicros,
                              const DriveLine& line, int width = 60);

} // namespace cashdrawer::cli
