// The tool's commands. Each one does its work and returns what it found as
// a record; a renderer (text or JSON) prints the record, so no command
// knows how its result looks.
#pragma once

#include "cli/backend.h"
#include "config/profile_store.h"
#include "interface/drawer_methods.h"
#include "platform/clock.h"
#include "sim/access_log.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace cashdrawer::cli {

// Exit codes, as --help documents them.
enum ExitCode : int {
    kExitSuccess = 0,
    kExitUsage = 1,
    kExitUnknownDrawer = 2,
    kExitUnreachable = 3,
    kExitTimedOut = 4,
};

// What a result of a drawer function means, and the exit code it gives.
struct Outcome {
    const char* meaning;
    ExitCode exitCode;
};
Outcome KickOutcome(int result);
Outcome StatusOutcome(int result);
Outcome WaitOutcome(int result);
Outcome ConfirmedKickOutcome(int result);

struct ListRow {
    std::string model;
    const char* drawerId;
    const char* method;
    bool kicks; // known to OpenCash with a kick of its own
    bool reads; // known to GetCashStatus
};
std::vector<ListRow> ListDrawers();

// One call of a drawer function and all it did.
struct CallReport {
    std::string function;
    std::string drawerId;
    int result = 0;
    Outcome outcome{};
    bool simulated = false;
    std::vector<sim::AccessRecord> accesses;
    uint64_t originMicros = 0; // the start of the call, or its first access if earlier
    uint64_t endMicros = 0;
    std::optional<DriveLine> driveLine; // set for a simulated kick that ran
    std::string unreachableHint;        // why -2, in the platform's words
    std::string libraryError;           // the library's own words for a failure
};
// `function` is OpenCash or GetCashStatus.
CallReport CallDrawer(DrawerBackend& backend, const std::string& function, const std::string& drawerId);

// WaitCashStatus and OpenCashConfirmed, reported as a call.
CallReport WaitForState(DrawerBackend& backend, const std::string& drawerId, int state, int timeoutMs);
CallReport OpenConfirmed(DrawerBackend& backend, const std::string& drawerId, int timeoutMs);

// The health check: what the drawer (or the whole terminal) needs.
struct DoctorReport {
    std::string drawerId; // empty: the whole terminal
    int result = 0;
    ExitCode exitCode = kExitSuccess;
    std::string json;
    std::string libraryError;
};
DoctorReport Doctor(DrawerBackend& backend, const std::string& drawerId);

// A Default call: the report of the call on the chosen drawer, or, with no
// drawer chosen, the file the defaults were written to.
struct DefaultReport {
    std::optional<CallReport> call;
    std::string function;
    int result = 0;
    std::string file;
};
DefaultReport CallDefault(DrawerBackend& backend, ProfileStore& store, bool kick);

// A change of state seen by `watch`.
struct WatchLine {
    std::string time;
    std::string drawerId;
    int result;
    Outcome outcome;
};
struct WatchOptions {
    std::string drawerId;
    unsigned intervalMs = 500;
    unsigned count = 0; // stop after this many lines; 0: until stopped
};
// Reads the state every interval on `clock` and hands each change to
// `onChange`, stamped by `timestamp`, until `stopRequested` says so or
// `count` lines are out. A read that fails ends the watch with its report.
std::optional<CallReport> Watch(DrawerBackend& backend, Clock& clock, const WatchOptions& options,
                                const std::function<std::string()>& timestamp,
                                const std::function<bool()>& stopRequested,
                                const std::function<void(const WatchLine&)>& onChange);
// The local wall-clock time, to the millisecond.
std::string WallClockTimestamp();

struct SerialSettingsReport {
    std::string port;
    int32_t comNuM;
    int32_t baudint;
    int32_t baudRate;
};
struct ConfigReport {
    std::string file;
    std::string chosenKey;
    std::optional<std::string> drawerId; // none: no drawer chosen
    std::string resolution;
    std::optional<SerialSettingsReport> serial;
};
ConfigReport ShowConfig(ProfileStore& store);

struct ConfigInitReport {
    std::string file;
    bool written;
};
ConfigInitReport InitConfig(ProfileStore& store);

} // namespace cashdrawer::cli
