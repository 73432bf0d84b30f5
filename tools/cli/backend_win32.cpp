// The tool on Windows: Cash_Drawer_DLL.dll loaded with LoadLibrary, as a
// point-of-sale application loads it. For --simulate, the DLL is copied into
// a private folder beside the recording port I/O and board I/O libraries,
// so that no real hardware library is reached and every access is seen.
#include "cli/backend.h"

#include "platform/clock.h"
#include "platform/hardware_library.h"
#include "platform/system_text.h"
#include "cash_drawer.h"
#include "sim/dll_exports.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace cashdrawer::cli {
namespace {

using sim::ProgramFolder;

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A path for a message, in UTF-8.
std::string Narrow(const std::wstring& text) { return WideToUtf8(text); }

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
            // The doubles live in sim\ beside the tool, in the build and in
            // the release alike: never where the DLL would find them.
            const std::wstring doubles = program + L"sim\\";
            wchar_t temp[MAX_PATH] = {};
            ::GetTempPathW(MAX_PATH, temp);
            const std::wstring folder = std::wstring(temp) + L"cashdrawer-sim-" + std::to_wstring(::GetCurrentProcessId());
            ::CreateDirectoryW(folder.c_str(), nullptr);
            dll = folder + L"\\Cash_Drawer_DLL.dll";
            const std::wstring portIo = kHardwareLibraries.portIo;
            const std::wstring boardIo = kHardwareLibraries.boardIo;
            const std::string both = std::string(kHardwareLibraries.portIoName) + " and " + kHardwareLibraries.boardIoName;
            if (!::CopyFileW((program + L"Cash_Drawer_DLL.dll").c_str(), dll.c_str(), FALSE) ||
                !::CopyFileW((doubles + portIo).c_str(), (folder + L"\\" + portIo).c_str(), FALSE) ||
                !::CopyFileW((doubles + boardIo).c_str(), (folder + L"\\" + boardIo).c_str(), FALSE)) {
                error = "the simulated terminal needs Cash_Drawer_DLL.dll beside the tool and the recording " + both +
                        " in its sim folder";
                return false;
            }
            // Loaded by the path the DLL will load them from: one module each.
            portIo_ = ::LoadLibraryW((folder + L"\\" + portIo).c_str());
            boardIo_ = ::LoadLibraryW((folder + L"\\" + boardIo).c_str());
            if (!portDouble_.Resolve(portIo_) || !boardDouble_.Resolve(boardIo_)) {
                error = "the " + both + " found for the simulated terminal are not the recording ones";
                return false;
            }
            simulated_ = true;
        } else {
            if (!RefuseDoubles(program, error)) {
                return false;
            }
            if (Exists(program + dll)) {
                dll = program + dll;
            }
        }
        drawers_ = ::LoadLibraryW(dll.c_str());
        if (drawers_ == nullptr) {
            const DWORD why = ::GetLastError();
            const std::string folder = Narrow(simulate ? dll.substr(0, dll.find_last_of(L'\\') + 1) : program);
            error = "cannot load Cash_Drawer_DLL.dll (looked in " + folder + " first; system error " +
                    std::to_string(why) +
                    (why == ERROR_MOD_NOT_FOUND ? ": not found" : why == ERROR_BAD_EXE_FORMAT ? ": not a 64-bit DLL" : "") +
                    "): put Cash_Drawer_DLL.dll beside cashdrawer.exe";
            return false;
        }
        if (!exports_.Resolve(drawers_)) {
            error = "Cash_Drawer_DLL.dll lacks one of its four functions";
            return false;
        }
        hasLater_ = later_.Resolve(drawers_);
        return true;
    }

    // Without --simulate, a recording double where the DLL looks for its
    // hardware libraries (its folder, which is the tool's) would answer for
    // a terminal that does not exist.
    static bool RefuseDoubles(const std::wstring& folder, std::string& error) {
        for (const wchar_t* name : {kHardwareLibraries.portIo, kHardwareLibraries.boardIo}) {
            const std::wstring path = folder + name;
            if (!Exists(path)) {
                continue;
            }
            HMODULE candidate = ::LoadLibraryW(path.c_str());
            const bool isDouble =
                sim::ResolveExport<CashDrawerRecordingDoubleFn>(candidate, "CashDrawerRecordingDouble") != nullptr;
            if (candidate != nullptr) {
                ::FreeLibrary(candidate);
            }
            if (isDouble) {
                error = "the " + Narrow(path) +
                        " beside the tool is a recording double for --simulate, not a hardware library: it would "
                        "report a terminal that does not exist. Move it into the sim folder, or add --simulate";
                return false;
            }
        }
        return true;
    }

    int OpenCash(const char* drawerId) override { return exports_.openCash(drawerId); }
    int GetCashStatus(const char* drawerId) override { return exports_.getCashStatus(drawerId); }
    int OpenCashDefault() override { return exports_.openCashDefault(); }
    int GetCashStatusDefault() override { return exports_.getCashStatusDefault(); }
    int WaitCashStatus(const char* drawerId, int state, int timeoutMs) override {
        return hasLater_ ? later_.waitCashStatus(drawerId, state, timeoutMs) : CASH_DRAWER_UNREACHABLE;
    }
    int OpenCashConfirmed(const char* drawerId, int timeoutMs) override {
        return hasLater_ ? later_.openCashConfirmed(drawerId, timeoutMs) : CASH_DRAWER_UNREACHABLE;
    }
    std::string LastError() override {
        return hasLater_ ? sim::TextFrom([this](char* b, int n) { return later_.getCashDrawerError(b, n); })
                         : "this Cash_Drawer_DLL.dll is older than 0.2.0 and cannot say why";
    }
    int CheckHealth(const char* drawerId, std::string& report) override {
        if (!hasLater_) {
            report.clear();
            return CASH_DRAWER_UNREACHABLE;
        }
        int result = 0;
        report = sim::TextFrom([&](char* b, int n) {
            const int answer = later_.checkCashDrawerHealth(drawerId, b, n);
            result = answer;
            return answer >= n ? answer : static_cast<int>(std::strlen(b));
        });
        return result;
    }

    bool Simulated() const override { return simulated_; }
    void SetPort(uint16_t port, uint32_t value, PortWidth width) override {
        if (simulated_) {
            portDouble_.poke(port, value, static_cast<unsigned>(width));
        }
    }
    void SetMemory(uint32_t address, uint32_t value) override {
        if (simulated_) {
            boardDouble_.poke(address, value);
        }
    }

    // Both doubles' records, merged in time order.
    std::vector<sim::AccessRecord> TakeAccesses() override {
        if (!simulated_) {
            return {};
        }
        std::vector<sim::AccessRecord> accesses = portDouble_.Records();
        portDouble_.clear();
        const std::vector<sim::AccessRecord> board = boardDouble_.Records(boardSeen_);
        boardSeen_ += static_cast<int>(board.size());
        accesses.insert(accesses.end(), board.begin(), board.end());
        std::stable_sort(accesses.begin(), accesses.end(),
                         [](const sim::AccessRecord& a, const sim::AccessRecord& b) { return a.timeMicros < b.timeMicros; });
        return accesses;
    }

    uint64_t NowMicros() override { return SystemClock().NowMicros(); }

    std::string UnreachableHint() const override {
        return simulated_ ? "the simulated terminal has no serial drawer device"
                          : std::string(kHardwareLibraries.portIoName) + " or " + kHardwareLibraries.boardIoName +
                                " is missing beside the DLL or failed to start (run as administrator?), or the COM "
                                "port could not be opened";
    }

private:
    bool simulated_ = false;
    HMODULE drawers_ = nullptr;
    HMODULE portIo_ = nullptr;
    HMODULE boardIo_ = nullptr;
    sim::DrawerExports exports_;
    sim::LaterExports later_;
    bool hasLater_ = false;
    sim::PortIoDoubleExports portDouble_;
    sim::BoardIoDoubleExports boardDouble_;
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
