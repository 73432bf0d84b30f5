// Board I/O through the vendor board I/O library, loaded at run time: a
// terminal without it still drives its port-based drawers.
#include "hardware/board_io.h"
#include "platform/hardware_library.h"

#include <windows.h>

#include <iterator>

namespace cashdrawer {
namespace {

// The open takes no argument of ours; builds of the library whose open
// expects one get 0.
using OpenFn = void*(WINAPI*)(DWORD reserved);
using CloseFn = void(WINAPI*)(void* handle);
using ReadMemDWordFn = DWORD(WINAPI*)(void* handle, DWORD physicalAddress);
using WriteMemDWordFn = void(WINAPI*)(void* handle, DWORD physicalAddress, DWORD value);

class QuorlinBoardIo final : public BoardIo {
public:
    QuorlinBoardIo() = default;
    ~QuorlinBoardIo() override { ReleaseHardwareLibrary(module_); }
    QuorlinBoardIo(const QuorlinBoardIo&) = delete;
    QuorlinBoardIo& operator=(const QuorlinBoardIo&) = delete;

    BoardIoHandle Open() override {
        if (!Load()) {
            diagnosis_ = where_;
            return 0;
        }
        const auto handle = reinterpret_cast<BoardIoHandle>(open_(0));
        diagnosis_ = handle != 0 ? where_ : "olvexioOpen in " + where_ + " gave no handle (the board's driver did not open)";
        return handle;
    }
    std::string Diagnosis() const override { return diagnosis_; }

    void Close(BoardIoHandle handle) override { close_(reinterpret_cast<void*>(handle)); }

    uint32_t ReadDWord(BoardIoHandle handle, uint32_t physicalAddress) override {
        return readMemDWord_(reinterpret_cast<void*>(handle), physicalAddress);
    }

    void WriteDWord(BoardIoHandle handle, uint32_t physicalAddress, uint32_t value) override {
        writeMemDWord_(reinterpret_cast<void*>(handle), physicalAddress, value);
    }

private:
    // Loaded once and kept until our DLL is unloaded; a failed load is tried again on the next call.
    bool Load() {
        if (module_ != nullptr) {
            return true;
        }
        const RequiredSymbol symbols[] = {
            {"olvexioOpen", reinterpret_cast<void**>(&open_)},
            {"olvexioClose", reinterpret_cast<void**>(&close_)},
            {"olvexioReadMemDWord", reinterpret_cast<void**>(&readMemDWord_)},
            {"olvexioWriteMemDWord", reinterpret_cast<void**>(&writeMemDWord_)},
        };
        module_ = LoadHardwareLibrary(kHardwareLibraries.boardIo, symbols, static_cast<int>(std::size(symbols)), where_);
        return module_ != nullptr;
    }

    void* module_ = nullptr;
    std::string where_;
    std::string diagnosis_;
    OpenFn open_ = nullptr;
    CloseFn close_ = nullptr;
    ReadMemDWordFn readMemDWord_ = nullptr;
    WriteMemDWordFn writeMemDWord_ = nullptr;
};

} // namespace

std::unique_ptr<BoardIo> MakeSystemBoardIo() { return std::make_unique<QuorlinBoardIo>(); }

} // namespace cashdrawer
