// This system's hardware libraries, where the library has none yet: no
// port I/O and no board I/O. Every drawer that needs them reports its
// hardware unreachable (the port I/O library missing, the board I/O library
// unavailable), never a state made up from ports nobody read.
#include "hardware/board_io.h"
#include "hardware/port_io.h"
#include "platform/bus_lock_posix.h"

namespace cashdrawer {
namespace {

class UnavailablePortIo final : public PortIo {
public:
    Result Initialize() override { return Result::LibraryMissing; }
    void Shutdown() override {}
    // Never called: the bracket does not open.
    uint32_t Read(uint16_t, PortWidth) override { return 0; }
    void Write(uint16_t, uint32_t, PortWidth) override {}
    std::string Diagnosis() const override { return "this build has no port I/O library for this system"; }
};

class UnavailableBoardIo final : public BoardIo {
public:
    BoardIoHandle Open() override { return 0; }
    // Never called: no handle is ever handed out.
    void Close(BoardIoHandle) override {}
    uint32_t ReadDWord(BoardIoHandle, uint32_t) override { return 0; }
    void WriteDWord(BoardIoHandle, uint32_t, uint32_t) override {}
    std::string Diagnosis() const override { return "this build has no board I/O library for this system"; }
};

} // namespace

std::unique_ptr<PortIo> MakeSystemPortIo() { return std::make_unique<UnavailablePortIo>(); }
std::unique_ptr<BoardIo> MakeSystemBoardIo() { return std::make_unique<UnavailableBoardIo>(); }
std::unique_ptr<SharedBusLock> MakeSystemSuperIoBusLock() { return std::make_unique<FlockBusLock>(); }

} // namespace cashdrawer
