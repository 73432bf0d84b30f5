// The library behind the four exports: dispatch from a drawer identifier to
// its drawer method, the port I/O bracket, the results, and all the state
// that lives from one call to the next.
//
// The exports use one process-wide instance bound to the real platform; a
// test builds a fresh instance on simulated parts, which the drawers cannot
// tell from a fresh process. Not thread-safe: the exports serialise calls.
#pragma once

#include "config/config_file.h"
#include "config/profile_store.h"
#include "hardware/board_io.h"
#include "hardware/fixed_port.h"
#include "hardware/memory_gpio.h"
#include "hardware/port_gpio.h"
#include "hardware/port_io.h"
#include "hardware/super_io.h"
#include "interface/catalogue.h"
#include "platform/background_thread.h"
#include "platform/bus_lock.h"
#include "platform/clock.h"
#include "serial/serial_drawer.h"
#include "serial/serial_link.h"

#include <memory>

namespace cashdrawer {

// What the drawer logic needs from the platform.
struct DrawerPlatform {
    PortIo& portIo;
    BoardIo& boardIo;
    SharedBusLock& superIoBusLock;
    ProfileStore& profileStore;
    std::shared_ptr<SerialLink> serialLink; // shared with the monitor thread
    BackgroundThread& monitorThread;
    Clock& clock;
};

class DrawerLibrary {
public:
    explicit DrawerLibrary(const DrawerPlatform& platform)
        : platform_(platform), serial_(platform.serialLink, platform.monitorThread, platform.clock) {}

    int OpenCash(const char* drawerId);
    int GetCashStatus(const char* drawerId);
    int OpenCashDefault();
    int GetCashStatusDefault();
    // The library is being unloaded: stop the serial drawer's monitor and
    // close its port. `processEnding` when the whole process is exiting and
    // the monitor thread is gone already.
    void OnUnload(bool processEnding) { serial_.StopSerialMonitor(processEnding); }

private:
    // The drawer methods that run inside the port I/O bracket.
    struct PortMethods {
        PortGpioDrawers portGpio;
        SuperIoDrawers superIo;
        FixedPortDrawers fixedPort;
    };
    PortMethods PortDrawers();
    void RunPortKick(const CatalogueRow& row);
    int RunPortStatus(const CatalogueRow& row);
    MemoryGpioDrawers MemoryGpio() { return {platform_.boardIo, platform_.clock, memoryGpio_}; }
    ConfigFile Config() { return ConfigFile(platform_.profileStore); }
    int OnChosenDrawer(int (DrawerLibrary::*call)(const char*));
    // Reads the serial settings for the identifier, then starts the monitor.
    void StartSerialDrawer(const CatalogueRow& row);

    DrawerPlatform platform_;
    PortGpioState portGpio_;
    MemoryGpioState memoryGpio_;
    FixedPortState fixedPort_;
    // Receives the byte reads of the Super I/O and fixed-port drawers.
    uint32_t portScratch_ = 0;
    SerialSettings serialSettings_;
    SerialDrawer serial_;
};

} // namespace cashdrawer
