// What the command-line tool drives: the drawer library with its four
// functions, on real hardware or on a simulated terminal that reports every
// access it sees.
#pragma once

#include "hardware/port_io.h"
#include "sim/access_log.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cashdrawer::cli {

class DrawerBackend {
public:
    virtual ~DrawerBackend() = default;

    virtual int OpenCash(const char* drawerId) = 0;
    virtual int GetCashStatus(const char* drawerId) = 0;
    virtual int OpenCashDefault() = 0;
    virtual int GetCashStatusDefault() = 0;
    // The later functions; a DLL too old to have them answers -2 with words
    // that say so.
    virtual int WaitCashStatus(const char* drawerId, int state, int timeoutMs) = 0;
    virtual int OpenCashConfirmed(const char* drawerId, int timeoutMs) = 0;
    // The library's words for the last failure of this thread.
    virtual std::string LastError() = 0;
    // The health check's JSON in `report`; returns the function's result.
    virtual int CheckHealth(const char* drawerId, std::string& report) = 0;

    virtual bool Simulated() const = 0;
    // Sets what a simulated port or memory word reads; ignored on hardware.
    virtual void SetPort(uint16_t port, uint32_t value, PortWidth width) = 0;
    virtual void SetMemory(uint32_t address, uint32_t value) = 0;
    // What the drawers did since the last call, oldest first; empty on hardware.
    virtual std::vector<sim::AccessRecord> TakeAccesses() = 0;
    // The clock the accesses are timed on.
    virtual uint64_t NowMicros() = 0;
    // Why a -2 came back, in the words of this platform.
    virtual std::string UnreachableHint() const = 0;
};

// The backend of this platform: the real one, or the simulated terminal.
// Null, with `error` set, when it cannot be had.
std::unique_ptr<DrawerBackend> MakeBackend(bool simulate, std::string& error);

} // namespace cashdrawer::cli
