// The library behind the exports: one dispatch from a drawer identifier to
// its drawer method's operation, the port I/O bracket, the results, and all
// the state that lives from one call to the next.
//
// The exports use one process-wide instance bound to the real platform; a
// test builds a fresh instance on simulated parts, which the drawers cannot
// tell from a fresh process. Not thread-safe: the exports serialise calls.
#pragma once

#include "config/config_file.h"
#include "hardware/result.h"
#include "interface/catalogue.h"
#include "interface/drawer_methods.h"

#include <string>

namespace cashdrawer {

class DrawerLibrary {
public:
    explicit DrawerLibrary(const DrawerPlatform& platform) : context_(platform) {}

    // The exports' numbers (see cash_drawer.h).
    int OpenCash(const char* drawerId);
    int GetCashStatus(const char* drawerId);
    int OpenCashDefault();
    int GetCashStatusDefault();

    // The same calls with the reason behind every failure.
    Result Kick(const char* drawerId);
    Result ReadStatus(const char* drawerId);

    // A technician's check of what the drawer (or, for null, the whole
    // terminal) needs, as one JSON object; kicks nothing. Ok when all is
    // well, UnknownDrawer, or a failure when something needed is missing.
    Result CheckHealth(const char* drawerId, std::string& json);

    // One line that explains the last call's -1 or -2; empty after a call
    // that reached its drawer (or found no drawer chosen).
    const std::string& LastFailure() const { return lastFailure_; }

    // The library is being unloaded: stop the serial drawer's monitor and
    // close its port. `processEnding` when the whole process is exiting and
    // the monitor thread is gone already.
    void OnUnload(bool processEnding) { context_.serial.StopSerialMonitor(processEnding); }

private:
    using Operation = Result (*)(DrawerContext&, const CatalogueRow&);
    Result Dispatch(const CatalogueRow* row, Operation DrawerOps::*operation);
    ConfigFile Config() { return ConfigFile(context_.platform.profileStore); }
    int OnChosenDrawer(int (DrawerLibrary::*call)(const char*));
    // Notes the words for a failure, or clears them after a success.
    Result Explained(const char* function, const char* drawerId, Result result);

    DrawerContext context_;
    std::string lastFailure_;
};

} // namespace cashdrawer
