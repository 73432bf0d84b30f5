// Kicks a drawer and reads its state through the real Cash_Drawer_DLL.dll on
// a simulated terminal: the recording port I/O library beside the DLL stands
// in for the hardware, and every call the DLL makes to it is printed with
// its time.
//
//   drawer_demo.exe [drawer identifier]       default: RN340_CashA
#include "cash_drawer.h"
#include "sim/access_log.h"
#include "sim/winio64_double.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

using OpenCashFn = int(__stdcall*)(const char*);
using GetCashStatusFn = int(__stdcall*)(const char*);

std::wstring OwnFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

const char* Meaning(int result, bool kick) {
    switch (result) {
    case CASH_DRAWER_UNKNOWN_ID: return "unknown drawer identifier";
    case CASH_DRAWER_UNREACHABLE: return "drawer hardware unreachable";
    default: break;
    }
    if (kick) {
        return result == CASH_DRAWER_KICKED ? "kicked" : "unexpected";
    }
    return result == 1 ? "drawer state bit 1" : result == 0 ? "drawer state bit 0" : "unexpected";
}

struct Recorder {
    SimRecordCountFn count;
    SimRecordAtFn at;
    SimClearRecordsFn clear;

    void PrintAndClear() const {
        SimRecord record{};
        uint64_t origin = 0;
        for (int i = 0; i < count() && at(i, &record); ++i) {
            if (i == 0) {
                origin = record.timeMicros;
            }
            const cashdrawer::sim::AccessRecord line{record.timeMicros, static_cast<cashdrawer::sim::AccessOp>(record.op),
                                                     static_cast<uint16_t>(record.port),
                                                     static_cast<uint8_t>(record.width), record.value};
            std::printf("    %s\n", cashdrawer::sim::FormatAccess(line, origin).c_str());
        }
        clear();
    }
};

} // namespace

int main(int argc, char** argv) {
    const char* drawerId = argc > 1 ? argv[1] : "RN340_CashA";
    const std::wstring folder = OwnFolder();

    // Load the double by the same path the DLL will, so both share it.
    HMODULE portIo = ::LoadLibraryW((folder + L"WinIo64.dll").c_str());
    HMODULE drawers = ::LoadLibraryW((folder + L"Cash_Drawer_DLL.dll").c_str());
    if (portIo == nullptr || drawers == nullptr) {
        std::fprintf(stderr, "cannot load WinIo64.dll and Cash_Drawer_DLL.dll from the program's folder\n");
        return 3;
    }
    const Recorder recorder{Resolve<SimRecordCountFn>(portIo, "SimRecordCount"),
                            Resolve<SimRecordAtFn>(portIo, "SimRecordAt"),
                            Resolve<SimClearRecordsFn>(portIo, "SimClearRecords")};
    auto poke = Resolve<SimPokeFn>(portIo, "SimPoke");
    auto openCash = Resolve<OpenCashFn>(drawers, "OpenCash");
    auto getCashStatus = Resolve<GetCashStatusFn>(drawers, "GetCashStatus");
    if (!recorder.count || !recorder.at || !recorder.clear || !poke || !openCash || !getCashStatus) {
        std::fprintf(stderr, "a function is missing from WinIo64.dll or Cash_Drawer_DLL.dll\n");
        return 3;
    }

    // The simulated terminal: all ports read 0xFF (an idle bus) except the
    // RN340/RN2150/KV8041N sense port, where drawer A's bit 2 reads clear.
    poke(0x53A, 0xFB, 1);

    std::printf("Simulated terminal; every call of Cash_Drawer_DLL.dll into the port I/O library:\n\n");
    std::printf("OpenCash(\"%s\")\n", drawerId);
    const int kicked = openCash(drawerId);
    recorder.PrintAndClear();
    std::printf("  result %d: %s\n\n", kicked, Meaning(kicked, true));

    std::printf("GetCashStatus(\"%s\")\n", drawerId);
    const int state = getCashStatus(drawerId);
    recorder.PrintAndClear();
    std::printf("  result %d: %s\n", state, Meaning(state, false));

    ::FreeLibrary(drawers);
    return (kicked == CASH_DRAWER_KICKED && (state == 0 || state == 1)) ? 0 : 1;
}
