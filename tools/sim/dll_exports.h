// The exports of the drawer DLL and of the recording hardware library
// doubles, resolved in one place for every Windows host of them (the tool
// and the test host), and the doubles' records in the access log's terms.
#pragma once

#include "sim/access_log.h"
#include "sim/quorlinio_double.h"
#include "sim/win32_module.h"
#include "sim/winio64_double.h"

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace cashdrawer::sim {

using DrawerFn = int(__stdcall*)(const char*);
using DefaultFn = int(__stdcall*)(void);

// Sets each slot to the module's export of its name; true when the module
// has every one of them.
template <typename... Fn>
bool ResolveAll(HMODULE module, std::pair<const char*, Fn*>... slots) {
    bool all = true;
    ((*slots.second = ResolveExport<Fn>(module, slots.first), all = all && *slots.second != nullptr), ...);
    return all;
}

// Every record from `first` on, oldest first, in the access log's terms.
template <typename HostRecord, typename Convert>
std::vector<AccessRecord> RecordsFrom(int(__stdcall* at)(int, HostRecord*), int first, Convert convert) {
    std::vector<AccessRecord> records;
    HostRecord record{};
    for (int i = first; at(i, &record); ++i) {
        records.push_back(convert(record));
    }
    return records;
}

struct DrawerExports {
    DrawerFn openCash = nullptr;
    DrawerFn getCashStatus = nullptr;
    DefaultFn openCashDefault = nullptr;
    DefaultFn getCashStatusDefault = nullptr;

    bool Resolve(HMODULE module) {
        return ResolveAll(module, std::pair{"OpenCash", &openCash}, std::pair{"GetCashStatus", &getCashStatus},
                          std::pair{"OpenCashDefault", &openCashDefault},
                          std::pair{"GetCashStatusDefault", &getCashStatusDefault});
    }
};

// The exports that came after the four (version 0.2.0): an older DLL lacks
// them, and a host goes on without.
using WaitFn = int(__stdcall*)(const char*, int, int);
using ConfirmFn = int(__stdcall*)(const char*, int);
using TextFn = int(__stdcall*)(char*, int);
using HealthFn = int(__stdcall*)(const char*, char*, int);

struct LaterExports {
    WaitFn waitCashStatus = nullptr;
    ConfirmFn openCashConfirmed = nullptr;
    TextFn getCashDrawerError = nullptr;
    HealthFn checkCashDrawerHealth = nullptr;
    TextFn getCashDrawerVersion = nullptr;

    bool Resolve(HMODULE module) {
        return ResolveAll(module, std::pair{"WaitCashStatus", &waitCashStatus},
                          std::pair{"OpenCashConfirmed", &openCashConfirmed},
                          std::pair{"GetCashDrawerError", &getCashDrawerError},
                          std::pair{"CheckCashDrawerHealth", &checkCashDrawerHealth},
                          std::pair{"GetCashDrawerVersion", &getCashDrawerVersion});
    }
};

// A text the DLL copies into a buffer of ours, however long it is.
inline std::string TextFrom(const std::function<int(char*, int)>& copy) {
    std::string text(256, '\0');
    int length = copy(text.data(), static_cast<int>(text.size()));
    if (length >= static_cast<int>(text.size())) {
        text.assign(static_cast<std::size_t>(length) + 1, '\0');
        length = copy(text.data(), static_cast<int>(text.size()));
    }
    return length < 0 ? std::string() : std::string(text.c_str());
}

// The recording port I/O library double's control exports.
struct PortIoDoubleExports {
    SimPokeFn poke = nullptr;
    SimFailInitializeFn failInitialize = nullptr;
    SimRecordCountFn count = nullptr;
    SimRecordAtFn at = nullptr;
    SimClearRecordsFn clear = nullptr;

    bool Resolve(HMODULE module) {
        return ResolveAll(module, std::pair{"SimPoke", &poke}, std::pair{"SimFailInitialize", &failInitialize},
                          std::pair{"SimRecordCount", &count}, std::pair{"SimRecordAt", &at},
                          std::pair{"SimClearRecords", &clear});
    }
    std::vector<AccessRecord> Records(int first = 0) const {
        return RecordsFrom(at, first, [](const SimRecord& r) {
            return AccessRecord{r.timeMicros, static_cast<AccessOp>(r.op), static_cast<uint16_t>(r.port),
                                static_cast<uint8_t>(r.width), r.value};
        });
    }
};

// The recording board I/O library double's control exports.
struct BoardIoDoubleExports {
    SimBoardPokeFn poke = nullptr;
    SimBoardFailOpenFn failOpen = nullptr;
    SimBoardRecordCountFn count = nullptr;
    SimBoardRecordAtFn at = nullptr;

    bool Resolve(HMODULE module) {
        return ResolveAll(module, std::pair{"SimBoardPoke", &poke}, std::pair{"SimBoardFailOpen", &failOpen},
                          std::pair{"SimBoardRecordCount", &count}, std::pair{"SimBoardRecordAt", &at});
    }
    std::vector<AccessRecord> Records(int first = 0) const {
        return RecordsFrom(at, first, [](const SimBoardRecord& r) {
            return AccessRecord{
                .timeMicros = r.timeMicros, .op = static_cast<AccessOp>(r.op), .value = r.value, .address = r.address};
        });
    }
};

// The drawer mechanics both doubles have, each for the drawers behind it
// (the port drawers behind the port I/O double, the memory drawers behind
// the board I/O one).
using SimSetDrawerClosesAfterFn = void(__stdcall*)(unsigned);
using SimPushDrawerShutFn = int(__stdcall*)(const char*);
using SimJamDrawerFn = int(__stdcall*)(const char*, int);

struct DrawerMechanicsExports {
    SimSetDrawerClosesAfterFn setClosesAfter = nullptr;
    SimPushDrawerShutFn pushShut = nullptr;
    SimJamDrawerFn jam = nullptr;

    bool Resolve(HMODULE module) {
        return ResolveAll(module, std::pair{"SimSetDrawerClosesAfter", &setClosesAfter},
                          std::pair{"SimPushDrawerShut", &pushShut}, std::pair{"SimJamDrawer", &jam});
    }
};

} // namespace cashdrawer::sim
