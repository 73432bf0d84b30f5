// Port I/O through the vendor port I/O library, loaded at run time.
#include "hardware/port_io.h"
#include "platform/hardware_library.h"

#include <windows.h>

#include <iterator>

namespace cashdrawer {
namespace {

// The library's functions are C++ `bool` (one byte), not Win32 BOOL.
using InitializeWinIoFn = bool(WINAPI*)();
using ShutdownWinIoFn = void(WINAPI*)();
using GetPortValFn = bool(WINAPI*)(WORD port, PDWORD value, BYTE size);
using SetPortValFn = bool(WINAPI*)(WORD port, DWORD value, BYTE size);

class WinIoPortIo final : public PortIo {
public:
    WinIoPortIo() = default;
    ~WinIoPortIo() override { ReleaseHardwareLibrary(module_); }
    WinIoPortIo(const WinIoPortIo&) = delete;
    WinIoPortIo& operator=(const WinIoPortIo&) = delete;

    Result Initialize() override {
        if (!Load()) {
            diagnosis_ = where_;
            return Result::LibraryMissing;
        }
        const bool started = initialize_();
        diagnosis_ = started ? where_ : "InitializeWinIo in " + where_ +
                                            " returned false: its driver did not start (the application may need "
                                            "administrator rights)";
        return started ? Result::Ok : Result::LibraryFailed;
    }
    std::string Diagnosis() const override { return diagnosis_; }

    void Shutdown() override { shutdown_(); }

    uint32_t Read(uint16_t port, PortWidth width) override {
        DWORD value = 0;
        getPortVal_(port, &value, static_cast<BYTE>(width));
        return value;
    }

    void Write(uint16_t port, uint32_t value, PortWidth width) override {
        setPortVal_(port, value, static_cast<BYTE>(width));
    }

private:
    // Loaded once and kept until our DLL is unloaded; a failed load is
    // tried again on the next call, so a library installed while the
    // application runs is picked up.
    bool Load() {
        if (module_ != nullptr) {
            return true;
        }
        const RequiredSymbol symbols[] = {
            {"InitializeWinIo", reinterpret_cast<void**>(&initialize_)},
            {"ShutdownWinIo", reinterpret_cast<void**>(&shutdown_)},
            {"GetPortVal", reinterpret_cast<void**>(&getPortVal_)},
            {"SetPortVal", reinterpret_cast<void**>(&setPortVal_)},
        };
        module_ = LoadHardwareLibrary(kHardwareLibraries.portIo, symbols, static_cast<int>(std::size(symbols)), where_);
        return module_ != nullptr;
    }

    void* module_ = nullptr;
    std::string where_;
    std::string diagnosis_;
    InitializeWinIoFn initialize_ = nullptr;
    ShutdownWinIoFn shutdown_ = nullptr;
    GetPortValFn getPortVal_ = nullptr;
    SetPortValFn setPortVal_ = nullptr;
};

} // namespace

std::unique_ptr<PortIo> MakeSystemPortIo() { return std::make_unique<WinIoPortIo>(); }

} // namespace cashdrawer
