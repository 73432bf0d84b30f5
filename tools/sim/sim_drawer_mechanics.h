// The drawers of the simulated terminal behave like drawers: a kick's
// pulse on a drawer's drive line springs it open - its sensor then reads
// the other level - and it shuts after a set time, or when the test or
// the developer pushes it shut. So a confirmed kick sees the drawer open,
// and the agent and the demos show a whole open/close cycle without
// hardware.
//
// The port and memory drawers have such a sensor; the Super I/O drawers
// share one register for drive and sense lines and the serial drawer
// reports its state over its link, so those keep what the sensor was set
// to read.
#pragma once

#include "interface/catalogue.h"
#include "platform/clock.h"
#include "sim/access_log.h"
#include "sim/sim_board_io.h"
#include "sim/sim_port_space.h"

#include <optional>
#include <string>
#include <vector>

namespace cashdrawer::sim {

// Where a drawer's sensor is read: a port or memory bit.
std::optional<DriveLine> SenseLineOf(const CatalogueRow& row);

class SimDrawerMechanics {
public:
    // How long a kicked drawer stays open on its own, unless set.
    static constexpr uint32_t kDefaultClosesAfterMs = 2000;
    // The longest a setting may keep a drawer open on its own: a day.
    static constexpr uint32_t kLongestClosesAfterMs = 86'400'000;

    SimDrawerMechanics(SimPortSpace& ports, SimBoardIo& board, Clock& clock) : ports_(ports), board_(board), clock_(clock) {}

    // 0: a drawer stays open until pushed shut.
    void SetClosesAfterMs(uint32_t ms) { closesAfterMs_ = ms; }
    // A jammed drawer stays shut when kicked: its sensor keeps its level,
    // as a drawer with its lock turned or its cable pulled. 1: the drawer
    // of that identifier is (un)jammed; -1: it has no sensor that moves.
    int SetJammed(const char* drawerId, bool jammed);
    // Settings a program under test is started with, as the environment
    // gives them (null or empty: unset): CASHDRAWER_SIM_DRAWER_CLOSES_MS,
    // a count of milliseconds, and CASHDRAWER_SIM_DRAWER_JAMMED, drawer
    // identifiers separated by commas. A value that is not one of these is
    // left out, and said in `problems`, a line each.
    void Configure(const char* closesAfterMs, const char* jammedIds, std::string* problems = nullptr);

    // Before a library call: shuts the drawers whose time has come, and
    // notes what each sensor reads at rest.
    void Settle();
    // After it: springs open each drawer whose drive line pulsed in these
    // accesses - its sensor then reads the other level than before the
    // call, whatever the call wrote (a drawer whose sense bit shares the
    // drive port would otherwise read what the kick wrote).
    void Observe(const std::vector<AccessRecord>& accesses);
    // 1: it was open and is shut now; 0: it was not open; -1: no drawer of
    // that identifier has a sensor the mechanics move.
    int PushShut(const char* drawerId);
    bool IsOpen(const char* drawerId) const;

private:
    struct OpenDrawer {
        DriveLine sense;
        uint32_t restBits;      // the sense bits before the kick
        uint64_t shutsAtMicros; // 0: never on its own
    };
    struct Reading {
        DriveLine sense;
        uint32_t bits;
    };
    uint32_t Read(const DriveLine& sense) const;
    void Set(const DriveLine& sense, uint32_t bits);
    std::vector<OpenDrawer>::iterator Find(const DriveLine& sense);
    bool IsJammed(const DriveLine& sense) const;

    SimPortSpace& ports_;
    SimBoardIo& board_;
    Clock& clock_;
    uint32_t closesAfterMs_ = kDefaultClosesAfterMs;
    std::vector<OpenDrawer> open_;
    std::vector<DriveLine> jammed_;
    std::vector<Reading> atRest_; // each sensor before the present call
};

} // namespace cashdrawer::sim
