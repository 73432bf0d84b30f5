#include "cli/commands.h"

#include "cash_drawer.h"
#include "config/config_file.h"
#include "interface/catalogue.h"
#include "serial/serial_link.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace cashdrawer::cli {
namespace {

std::string ModelOf(const char* drawerId) {
    const std::string id = drawerId;
    return id.substr(0, id.rfind("_Cash"));
}

Outcome FailureOutcome(int result) {
    switch (result) {
    case CASH_DRAWER_UNKNOWN_ID: return {"unknown drawer identifier", kExitUnknownDrawer};
    case CASH_DRAWER_UNREACHABLE: return {"drawer hardware unreachable", kExitUnreachable};
    case CASH_DRAWER_BAD_ARGUMENT: return {"bad argument", kExitUsage};
    default: return {"unexpected result", kExitUnreachable};
    }
}

CallReport Report(DrawerBackend& backend, const std::string& function, const std::string& drawerId, bool kick,
                  int result, uint64_t origin, Outcome outcome) {
    CallReport report;
    report.function = function;
    report.drawerId = drawerId;
    report.result = result;
    report.outcome = outcome;
    if (outcome.exitCode != kExitSuccess && outcome.exitCode != kExitTimedOut) {
        report.libraryError = backend.LastError();
    }
    report.simulated = backend.Simulated();
    report.accesses = backend.TakeAccesses();
    report.originMicros = report.accesses.empty() ? origin : std::min(origin, report.accesses.front().timeMicros);
    report.endMicros = backend.NowMicros();
    report.unreachableHint = backend.UnreachableHint();
    const CatalogueRow* row = FindForOpenCash(drawerId.c_str());
    if (report.simulated && kick && row != nullptr && result == CASH_DRAWER_KICKED) {
        report.driveLine = row->method->driveLine(*row);
    }
    return report;
}

CallReport Report(DrawerBackend& backend, const std::string& function, const std::string& drawerId, bool kick,
                  int result, uint64_t origin) {
    return Report(backend, function, drawerId, kick, result, origin,
                  kick ? KickOutcome(result) : StatusOutcome(result));
}

} // namespace

Outcome KickOutcome(int result) {
    return result == CASH_DRAWER_KICKED ? Outcome{"kicked", kExitSuccess} : FailureOutcome(result);
}

Outcome StatusOutcome(int result) {
    switch (result) {
    case CASH_DRAWER_STATE_1: return {"drawer state bit 1", kExitSuccess};
    case CASH_DRAWER_STATE_0: return {"drawer state bit 0", kExitSuccess};
    default: return FailureOutcome(result);
    }
}

Outcome WaitOutcome(int result) {
    switch (result) {
    case CASH_DRAWER_REACHED: return {"the drawer reached the state", kExitSuccess};
    case CASH_DRAWER_TIMED_OUT: return {"the time ran out first", kExitTimedOut};
    default: return FailureOutcome(result);
    }
}

Outcome ConfirmedKickOutcome(int result) {
    switch (result) {
    case CASH_DRAWER_REACHED: return {"kicked, and the drawer's sensor changed: it opened", kExitSuccess};
    case CASH_DRAWER_TIMED_OUT:
        return {"kicked, but the sensor did not change in time (open already, not connected, or jammed)", kExitTimedOut};
    default: return FailureOutcome(result);
    }
}

std::vector<ListRow> ListDrawers() {
    std::vector<ListRow> rows;
    for (const CatalogueRow& row : Catalogue()) {
        rows.push_back({ModelOf(row.drawerId), row.drawerId, row.method->description, row.Kicks(), row.ReadsStatus()});
    }
    return rows;
}

CallReport CallDrawer(DrawerBackend& backend, const std::string& function, const std::string& drawerId) {
    const uint64_t origin = backend.NowMicros();
    const bool kick = function == "OpenCash";
    const int result = kick ? backend.OpenCash(drawerId.c_str()) : backend.GetCashStatus(drawerId.c_str());
    return Report(backend, function, drawerId, kick, result, origin);
}

CallReport WaitForState(DrawerBackend& backend, const std::string& drawerId, int state, int timeoutMs) {
    const uint64_t origin = backend.NowMicros();
    const int result = backend.WaitCashStatus(drawerId.c_str(), state, timeoutMs);
    return Report(backend, "WaitCashStatus", drawerId, false, result, origin, WaitOutcome(result));
}

CallReport OpenConfirmed(DrawerBackend& backend, const std::string& drawerId, int timeoutMs) {
    const uint64_t origin = backend.NowMicros();
    const int result = backend.OpenCashConfirmed(drawerId.c_str(), timeoutMs);
    CallReport report = Report(backend, "OpenCashConfirmed", drawerId, false, result, origin, ConfirmedKickOutcome(result));
    const CatalogueRow* row = FindForOpenCash(drawerId.c_str());
    if (report.simulated && row != nullptr && result >= 0) {
        report.driveLine = row->method->driveLine(*row);
    }
    return report;
}

DoctorReport Doctor(DrawerBackend& backend, const std::string& drawerId) {
    DoctorReport report;
    report.drawerId = drawerId;
    report.result = backend.CheckHealth(drawerId.empty() ? nullptr : drawerId.c_str(), report.json);
    report.exitCode = report.result == 1 ? kExitSuccess : FailureOutcome(report.result).exitCode;
    if (report.result != 1) {
        report.libraryError = backend.LastError();
    }
    backend.TakeAccesses();
    return report;
}

// 0 means "nothing chosen" as well as a drawer state of 0: the file, read
// before the call, tells which.
DefaultReport CallDefault(DrawerBackend& backend, ProfileStore& store, bool kick) {
    ConfigFile config(store);
    const std::optional<std::string> chosen = config.ReadChosenDrawer();
    const uint64_t origin = backend.NowMicros();
    DefaultReport report;
    report.function = kick ? "OpenCashDefault" : "GetCashStatusDefault";
    report.result = kick ? backend.OpenCashDefault() : backend.GetCashStatusDefault();
    report.file = config.BuildConfigPath();
    if (chosen) {
        report.call = Report(backend, report.function, *chosen, kick, report.result, origin);
    }
    return report;
}

std::optional<CallReport> Watch(DrawerBackend& backend, Clock& clock, const WatchOptions& options,
                                const std::function<std::string()>& timestamp,
                                const std::function<bool()>& stopRequested,
                                const std::function<void(const WatchLine&)>& onChange) {
    std::optional<int> previous;
    unsigned lines = 0;
    while (!stopRequested()) {
        const uint64_t origin = backend.NowMicros();
        const int state = backend.GetCashStatus(options.drawerId.c_str());
        const Outcome outcome = StatusOutcome(state);
        if (outcome.exitCode != kExitSuccess) {
            return Report(backend, "GetCashStatus", options.drawerId, false, state, origin);
        }
        backend.TakeAccesses(); // a watch shows states, not accesses
        if (state != previous) {
            onChange({timestamp(), options.drawerId, state, outcome});
            previous = state;
            if (options.count != 0 && ++lines >= options.count) {
                break;
            }
        }
        clock.SleepMs(options.intervalMs);
    }
    return std::nullopt;
}

std::string WallClockTimestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::tm* local = std::localtime(&seconds); // one thread here
    char text[40] = "?";
    if (local != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
    }
    char withMillis[48];
    std::snprintf(withMillis, sizeof withMillis, "%s.%03d", text, static_cast<int>(millis));
    return withMillis;
}

ConfigReport ShowConfig(ProfileStore& store) {
    ConfigFile config(store);
    ConfigReport report;
    report.file = config.BuildConfigPath();
    report.chosenKey = config.ReadChosenKey();
    report.drawerId = config.ReadChosenDrawer();
    const CatalogueRow* row = report.drawerId ? FindForOpenCash(report.drawerId->c_str()) : nullptr;
    if (!report.drawerId) {
        report.resolution = "no drawer chosen: the next Default call writes the defaults and returns 0";
    } else if (report.drawerId->empty()) {
        report.resolution = std::string("[") + kListSection + "] has no key '" + report.chosenKey +
                            "': the Default calls return -1";
    } else if (row == nullptr) {
        report.resolution = "'" + *report.drawerId + "' is not a drawer identifier: the Default calls return -1";
    } else {
        report.resolution = row->method->description;
    }
    if (row != nullptr && row->method == &kSerialDrawer) {
        const SerialSettings settings = config.ReadSerialSettings(row->drawerId);
        // As this system names it: COM12 on Windows, /dev/ttyS11 or the
        // section's Device on Linux.
        report.serial = SerialSettingsReport{MakeSystemSerialLink()->DeviceFor(settings.ComNuM, settings.Device),
                                             settings.ComNuM, settings.Baudint, SupportedBaudRate(settings.Baudint)};
    }
    return report;
}

ConfigInitReport InitConfig(ProfileStore& store) {
    ConfigFile config(store);
    config.WriteDefaultConfiguration();
    return {config.BuildConfigPath(), !config.ReadChosenKey().empty()};
}

} // namespace cashdrawer::cli
