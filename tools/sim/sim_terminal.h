// A whole point-of-sale terminal in memory: port space with its Super I/O
// chip, physical memory, the shared-port claim, INI files, a serial link
// and a monitor thread that runs when stepped, all logging to one access
// log, and a library instance bound to them.
#pragma once

#include "interface/drawer_library.h"
#include "sim/access_log.h"
#include "sim/sim_board_io.h"
#include "sim/sim_bus_lock.h"
#include "sim/sim_port_space.h"
#include "sim/sim_profile_store.h"
#include "sim/sim_serial.h"
#include "sim/sim_super_io_chip.h"
#include "sim/virtual_clock.h"

namespace cashdrawer::sim {

// The terminal's hardware, without a library on it. ClockType is built from
// the log: the virtual clock, or a real one.
template <typename ClockType, typename ProfileStoreType = SimProfileStore>
struct SimHardware {
    AccessLog log;
    ClockType clock{log};
    SimPortSpace ports{clock, log};
    SimBoardIo board{clock, log};
    SimBusLock busLock{clock, log};
    SimSuperIoChip superIo;
    ProfileStoreType profiles;
    std::shared_ptr<SimSerialLink> serialLink = std::make_shared<SimSerialLink>(clock);
    SimSerialLink& serial = *serialLink;
    ManualThread monitor;

    SimHardware() { ports.Attach(superIo); }
    SimHardware(const SimHardware&) = delete;
    SimHardware& operator=(const SimHardware&) = delete;

    DrawerPlatform Platform() { return DrawerPlatform{ports, board, busLock, profiles, serialLink, monitor, clock}; }
};

// The hardware with a library instance bound to it.
template <typename ClockType, typename ProfileStoreType = SimProfileStore>
struct BasicSimTerminal : SimHardware<ClockType, ProfileStoreType> {
    DrawerLibrary library{this->Platform()};
};

using SimTerminal = BasicSimTerminal<VirtualClock>;

} // namespace cashdrawer::sim
