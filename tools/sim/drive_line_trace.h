// Follows a drawer's drive line (or its sense line: the same kind of
// place) through an access trace: the tool draws it, and the simulated
// drawer's mechanics see a kick by it.
#pragma once

#include "interface/drawer_methods.h"
#include "sim/access_log.h"

#include <vector>

namespace cashdrawer::sim {

struct LevelChange {
    uint64_t timeMicros;
    int level; // 0 or 1

    friend bool operator==(const LevelChange&, const LevelChange&) = default;
};

// The level of the line each time it changes; the first entry is the
// level first seen (read or written).
std::vector<LevelChange> FollowDriveLine(const std::vector<sim::AccessRecord>& accesses, const DriveLine& line);

} // namespace cashdrawer::sim
