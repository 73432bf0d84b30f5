// The drawers behind a recording double move as the simulated terminal's
// do: a kick springs a drawer open, and it shuts after its time. Our DLL
// starts the hardware library at the beginning of each call and stops it at
// the end (InitializeWinIo/ShutdownWinIo, olvexioOpen/olvexioClose), so the
// double knows a call by those two: the drawers whose time has come shut
// before it, and a pulse among its accesses springs its drawer open after.
//
// An integrator's program under test is set up by its environment:
// CASHDRAWER_SIM_DRAWER_CLOSES_MS and CASHDRAWER_SIM_DRAWER_JAMMED, as the
// Linux simulated library reads them.
#pragma once

#include "platform/clock.h"
#include "sim/access_log.h"
#include "sim/sim_board_io.h"
#include "sim/sim_drawer_mechanics.h"
#include "sim/sim_port_space.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace cashdrawer::sim {

class DoubleDrawerMechanics {
public:
    DoubleDrawerMechanics(SimPortSpace& ports, SimBoardIo& board, AccessLog& log)
        : log_(log), mechanics_(ports, board, SystemClock()) {
        std::string problems;
        mechanics_.Configure(Environment("CASHDRAWER_SIM_DRAWER_CLOSES_MS").c_str(),
                             Environment("CASHDRAWER_SIM_DRAWER_JAMMED").c_str(), &problems);
        if (!problems.empty()) {
            std::fprintf(stderr, "%s", problems.c_str());
        }
    }

    void CallBegins() {
        mechanics_.Settle();
        callStart_ = log_.Records().size();
    }
    void CallEnds() {
        const auto& records = log_.Records();
        // A host that cleared the log meanwhile leaves less than the call.
        const std::size_t from = std::min(callStart_, records.size());
        mechanics_.Observe(std::vector<AccessRecord>(records.begin() + static_cast<std::ptrdiff_t>(from), records.end()));
        callStart_ = records.size();
    }

    SimDrawerMechanics& Drawers() { return mechanics_; }

private:
    // As the process was started or has set it since (the C runtime's copy
    // of the environment may be older).
    static std::string Environment(const char* name) {
        char value[256] = {};
        const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof value);
        return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
    }

    AccessLog& log_;
    SimDrawerMechanics mechanics_;
    std::size_t callStart_ = 0;
};

} // namespace cashdrawer::sim
