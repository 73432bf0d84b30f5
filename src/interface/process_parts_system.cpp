// The real flavour: everything the library takes from the system, owned in
// one place so the unload can give it all back - the hardware libraries'
// modules, the bus lock, the COM port and its events, the monitor.
#include "config/profile_store.h"
#include "interface/process_parts.h"

namespace cashdrawer {
namespace {

class SystemParts final : public ProcessParts {
public:
    DrawerPlatform Platform() override {
        return DrawerPlatform{
            .portIo = *portIo_,
            .boardIo = *boardIo_,
            .superIoBusLock = *busLock_,
            .profileStore = SystemProfileStore(),
            .serialLink = MakeSystemSerialLink(),
            .monitorThread = *monitorThread_,
            .clock = SystemClock(),
        };
    }

    Clock& WaitClock() override { return SystemClock(); }

private:
    std::unique_ptr<PortIo> portIo_ = MakeSystemPortIo();
    std::unique_ptr<BoardIo> boardIo_ = MakeSystemBoardIo();
    std::unique_ptr<SharedBusLock> busLock_ = MakeSystemSuperIoBusLock();
    std::unique_ptr<BackgroundThread> monitorThread_ = MakeSystemMonitorThread();
};

} // namespace

std::unique_ptr<ProcessParts> MakeProcessParts() { return std::make_unique<SystemParts>(); }

} // namespace cashdrawer
