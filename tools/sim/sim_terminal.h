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

// ClockType is built from the log: the virtual clock, or a real one.
template <typename ClockType, typename ProfileStoreType = SimProfileStore>
struct BasicSimTerminal {
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
    DrawerLibrary library{DrawerPlatform{ports, board, busLock, profiles, serialLink, monitor, clock}};

    BasicSimTerminal() { ports.Attach(superIo); }
    BasicSimTerminal(const BasicSimTerminal&) = delete;
    BasicSimTerminal& operator=(const BasicSimTerminal&) = delete;
};

using SimTerminal = BasicSimTerminal<VirtualClock>;

} // namespace cashdrawer::sim
