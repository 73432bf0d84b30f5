// The library behind the four exports: dispatch from a drawer identifier to
// its drawer method, the port I/O bracket, the results, and all the state
// that lives from one call to the next.
//
// The exports use one process-wide instance bound to the real platform; a
// test builds a fresh instance on simulated parts, which the drawers cannot
// tell from a fresh process. Not thread-safe: the exports serialise calls.
#pragma once

#include "hardware/port_gpio.h"
#include "hardware/port_io.h"
#include "interface/catalogue.h"
#include "platform/clock.h"

namespace cashdrawer {

class DrawerLibrary {
public:
    DrawerLibrary(PortIo& portIo, Clock& clock) : portIo_(portIo), clock_(clock) {}

    int OpenCash(const char* drawerId);
    int GetCashStatus(const char* drawerId);
    int OpenCashDefault();
    int GetCashStatusDefault();

private:
    void RunKick(const CatalogueRow& row);
    int RunStatus(const CatalogueRow& row);

    PortIo& portIo_;
    Clock& clock_;
    PortGpioState portGpio_;
};

} // namespace cashdrawer
