// The tool on Windows: Cash_Drawer_DLL.dll loaded with LoadLibrary, as a
// point-of-sale application loads it. For --simulate, the DLL is copied into
// a private folder beside the recording port I/O and board I/O libraries,
// so that no real hardware library is reached and every access is seen.
#include "cli/backend.h"

#include "platform/clock.h"
#include "sim/quorlinio_double.h"
#include "sim/win32_module.h"
#include "sim/winio64_double.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace cashdrawer::cli {
namespace {

using DrawerFn = int(__stdcall*)(const char*);
using DefaultFn = int(__stdcall*)(void);

using sim::ProgramFolder;

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
    return sim::ResolveExport<Fn>(module, name);
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class DllBackend final : public DrawerBackend {
public:
    ~DllBackend() override {
        if (drawers_ != nullptr) {
            ::FreeLibrary(drawers_);
        }
    }

    bool Load(bool simulate, std::string& error) {
        const std::wstring program = ProgramFolder();
        std::wstring dll = L"Cash_Drawer_DLL.dll";
        if (simulate) {
            // The doubles ship in sim\ beside the tool (or beside it, in a build).
            const std::wstring doubles = Exists(program + L"sim\\WinIo64.dll") ? program + L"sim\\" : program;
            wchar_t temp[MAX_PATH] = {};
            ::GetTempPathW(MAX_PATH, temp);
            const std::wstring folder = std::wstring(temp) + L"cashdrawer-sim-" + std::to_wstring(::GetCurrentProcessId());
            ::CreateDirectoryW(folder.c_str(), nullptr);
            dll = folder + L"\\Cash_Drawer_DLL.dll";
            if (!::CopyFileW((program + L"Cash_Drawer_DLL.dll").c_str(), dll.c_str(), FALSE) ||
                !::CopyFileW((doubles + L"WinIo64.dll").c_str(), (folder + L"\\WinIo64.dll").c_str(), FALSE) ||
                !::CopyFileW((doubles + L"QuorlinIO.dll").c_str(), (folder + L"\\QuorlinIO.dll").c_str(), FALSE)) {
                error = "the simulated terminal needs Cash_Drawer_DLL.dll beside the tool and the recording "
                        "WinIo64.dll and QuorlinIO.dll in its sim folder";
                return false;
            }
            // Loaded by the path the DLL will load them from: one module each.
            portIo_ = ::LoadLibraryW((folder + L"\\WinIo64.dll").c_str());
            boardIo_ = ::LoadLibraryW((folder + L"\\QuorlinIO.dll").c_str());
            poke_ = Resolve<SimPokeFn>(portIo_, "SimPoke");
            portRecordAt_ = Resolve<SimRecordAtFn>(portIo_, "SimRecordAt");
            clearPortRecords_ = Resolve<SimClearRecordsFn>(portIo_, "SimClearRecords");
            boardPoke_ = Resolve<SimBoardPokeFn>(boardIo_, "SimBoardPoke");
            boardRecordAt_ = Resolve<SimBoardRecordAtFn>(boardIo_, "SimBoardRecordAt");
            if (!poke_ || !portRecordAt_ || !clearPortRecords_ || !boardPoke_ || !boardRecordAt_) {
                error = "the WinIo64.dll or QuorlinIO.dll found for the simulated terminal is not the recording one";
                return false;
            }
            simulated_ = true;
        } else if (Exists(program + dll)) {
            dll = program + dll;
        }
        drawers_ = ::LoadLibraryW(dll.c_str());
        if (drawers_ == nullptr) {
            error = "cannot load Cash_Drawer_DLL.dll";
            return false;
        }
        openCash_ = Resolve<DrawerFn>(drawers_, "OpenCash");
        getCashStatus_ = Resolve<DrawerFn>(drawers_, "GetCashStatus");
        openCashDefault_ = Resolve<DefaultFn>(drawers_, "OpenCashDefault");
        getCashStatusDefault_ = Resolve<DefaultFn>(drawers_, "GetCashStatusDefault");
        if (!openCash_ || !getCashStatus_ || !openCashDefault_ || !getCashStatusDefault_) {
            error = "Cash_Drawer_DLL.dll lacks one of its four functions";
            return false;
        }
        return true;
    }

    int OpenCash(const char* drawerId) override { return openCash_(drawerId); }
    int GetCashStatus(const char* drawerId) override { return getCashStatus_(drawerId); }
    int OpenCashDefault() override { return openCashDefault_(); }
    int GetCashStatusDefault() override { return getCashStatusDefault_(); }

    bool Simulated() const override { return simulated_; }
    void SetPort(uint16_t port, uint32_t value, PortWidth width) override {
        if (simulated_) {
            poke_(port, value, static_cast<unsigned>(width));
        }
    }
    void SetMemory(uint32_t address, uint32_t value) override {
        if (simulated_) {
            boardPoke_(address, value);
        }
    }

    // Both doubles' records, merged in time order.
    std::vector<sim::AccessRecord> TakeAccesses() override {
        std::vector<sim::AccessRecord> accesses;
        if (!simulated_) {
            return accesses;
        }
        SimRecord port{};
        for (int i = 0; portRecordAt_(i, &port); ++i) {
            accesses.push_back({port.timeMicros, static_cast<sim::AccessOp>(port.op), static_cast<uint16_t>(port.port),
                                static_cast<uint8_t>(port.width), port.value});
        }
        clearPortRecords_();
        SimBoardRecord board{};
        for (; boardRecordAt_(boardSeen_, &board); ++boardSeen_) {
            accesses.push_back({.timeMicros = board.timeMicros, .op = static_cast<sim::AccessOp>(board.op),
                                .value = board.value, .address = board.address});
        }
        std::stable_sort(accesses.begin(), accesses.end(),
                         [](const sim::AccessRecord& a, const sim::AccessRecord& b) { return a.timeMicros < b.timeMicros; });
        return accesses;
    }

    uint64_t NowMicros() override { return SystemClock().NowMicros(); }

    std::string UnreachableHint() const override {
        return simulated_ ? "the simulated terminal has no serial drawer device"
                          : "WinIo64.dll or QuorlinIO.dll is missing beside the DLL or failed to start "
                            "(run as administrator?), or the COM port could not be opened";
    }

private:
    bool simulated_ = false;
    HMODULE drawers_ = nullptr;
    HMODULE portIo_ = nullptr;
    HMODULE boardIo_ = nullptr;
    DrawerFn openCash_ = nullptr;
    DrawerFn getCashStatus_ = nullptr;
    DefaultFn openCashDefault_ = nullptr;
    DefaultFn getCashStatusDefault_ = nullptr;
    SimPokeFn poke_ = nullptr;
    SimRecordAtFn portRecordAt_ = nullptr;
    SimClearRecordsFn clearPortRecords_ = nullptr;
    SimBoardPokeFn boardPoke_ = nullptr;
    SimBoardRecordAtFn boardRecordAt_ = nullptr;
    int boardSeen_ = 0;
};

} // namespace

std::unique_ptr<DrawerBackend> MakeBackend(bool simulate, std::string& error) {
    auto backend = std::make_unique<DllBackend>();
    if (!backend->Load(simulate, error)) {
        return nullptr;
    }
    return backend;
}

} // namespace cashdrawer::cli
