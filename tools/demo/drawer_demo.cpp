// Kicks a drawer and reads its state through the real Cash_Drawer_DLL.dll on
// a simulated terminal: the recording port I/O and board I/O libraries
// beside the DLL stand in for the hardware, and every call the DLL makes to
// them is printed with its time.
//
//   drawer_demo.exe [drawer identifier]       default: RN340_CashA
#include "cash_drawer.h"
#include "sim/access_log.h"
#include "sim/quorlinio_double.h"
#include "sim/winio64_double.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

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

// Both doubles' records, merged in time order.
struct Recorder {
    SimRecordCountFn portCount;
    SimRecordAtFn portAt;
    SimClearRecordsFn portClear;
    SimBoardRecordAtFn boardAt;
    int boardSeen = 0;

    void PrintAndClear() {
        using cashdrawer::sim::AccessOp;
        using cashdrawer::sim::AccessRecord;
        std::vector<AccessRecord> lines;
        SimRecord port{};
        for (int i = 0; i < portCount() && portAt(i, &port); ++i) {
            lines.push_back({port.timeMicros, static_cast<AccessOp>(port.op), static_cast<uint16_t>(port.port),
                             static_cast<uint8_t>(port.width), port.value});
        }
        SimBoardRecord board{};
        for (; boardAt(boardSeen, &board); ++boardSeen) {
            lines.push_back({.timeMicros = board.timeMicros, .op = static_cast<AccessOp>(board.op), .value = board.value,
                             .address = board.address});
        }
        std::stable_sort(lines.begin(), lines.end(),
                         [](const AccessRecord& a, const AccessRecord& b) { return a.timeMicros < b.timeMicros; });
        for (const AccessRecord& line : lines) {
            std::printf("    %s\n", cashdrawer::sim::FormatAccess(line, lines.front().timeMicros).c_str());
        }
        portClear();
    }
};

} // namespace

int main(int argc, char** argv) {
    const char* drawerId = argc > 1 ? argv[1] : "RN340_CashA";
    const std::wstring folder = OwnFolder();

    // Load the double by the same path the DLL will, so both share it.
    HMODULE portIo = ::LoadLibraryW((folder + L"WinIo64.dll").c_str());
    HMODULE boardIo = ::LoadLibraryW((folder + L"QuorlinIO.dll").c_str());
    HMODULE drawers = ::LoadLibraryW((folder + L"Cash_Drawer_DLL.dll").c_str());
    if (portIo == nullptr || boardIo == nullptr || drawers == nullptr) {
        std::fprintf(stderr, "cannot load WinIo64.dll, QuorlinIO.dll and Cash_Drawer_DLL.dll from the program's folder\n");
        return 3;
    }
    Recorder recorder{Resolve<SimRecordCountFn>(portIo, "SimRecordCount"), Resolve<SimRecordAtFn>(portIo, "SimRecordAt"),
                      Resolve<SimClearRecordsFn>(portIo, "SimClearRecords"),
                      Resolve<SimBoardRecordAtFn>(boardIo, "SimBoardRecordAt")};
    auto poke = Resolve<SimPokeFn>(portIo, "SimPoke");
    auto openCash = Resolve<OpenCashFn>(drawers, "OpenCash");
    auto getCashStatus = Resolve<GetCashStatusFn>(drawers, "GetCashStatus");
    if (!recorder.portCount || !recorder.portAt || !recorder.portClear || !recorder.boardAt || !poke || !openCash || !getCashStatus) {
        std::fprintf(stderr, "a function is missing from WinIo64.dll or Cash_Drawer_DLL.dll\n");
        return 3;
    }

    // The simulated terminal: all ports read 0xFF (an idle bus) except the
    // RN340/RN2150/KV8041N sense port, where drawer A's bit 2 reads clear.
    poke(0x53A, 0xFB, 1);

    std::printf("Simulated terminal; every call of Cash_Drawer_DLL.dll into the port and board I/O libraries:\n\n");
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
