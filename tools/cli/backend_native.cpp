// The tool on platforms without the DLL: the drawer library linked in,
// bound to this platform's parts or to a simulated terminal.
#include "cli/backend_native.h"

#include "config/profile_ini.h"
#include "interface/drawer_api.h"
#include "interface/drawer_library.h"
#include "platform/background_thread_posix.h"
#include "serial/serial_link_posix.h"
#include "sim/sim_drawer_mechanics.h"
#include "sim/sim_terminal.h"

namespace cashdrawer::cli {
namespace {

// The drawer functions, each through the backend's session.
class LibraryBackend : public DrawerBackend {
public:
    int OpenCash(const char* drawerId) override {
        return Session().Serialised([drawerId](DrawerLibrary& l) { return l.OpenCash(drawerId); });
    }
    int GetCashStatus(const char* drawerId) override {
        return Session().Serialised([drawerId](DrawerLibrary& l) { return l.GetCashStatus(drawerId); });
    }
    int OpenCashDefault() override { return Session().Serialised([](DrawerLibrary& l) { return l.OpenCashDefault(); }); }
    int GetCashStatusDefault() override { return Session().Serialised([](DrawerLibrary& l) { return l.GetCashStatusDefault(); }); }
    int WaitCashStatus(const char* drawerId, int state, int timeoutMs) override {
        return cashdrawer::WaitCashStatus(Session(), drawerId, state, timeoutMs);
    }
    int OpenCashConfirmed(const char* drawerId, int timeoutMs) override {
        return cashdrawer::OpenCashConfirmed(Session(), drawerId, timeoutMs);
    }
    std::string LastError() override { return Session().LastError(); }
    int CheckHealth(const char* drawerId, std::string& report) override {
        const int length = cashdrawer::CheckCashDrawerHealth(Session(), drawerId, nullptr, 0);
        if (length <= 0) {
            report.clear();
            return length;
        }
        std::string buffer(static_cast<std::size_t>(length) + 1, '\0');
        const int result = cashdrawer::CheckCashDrawerHealth(Session(), drawerId, buffer.data(), length + 1);
        report.assign(buffer.c_str());
        return result;
    }

protected:
    // The session every call goes through; made at the first call.
    virtual DrawerSession& Session() = 0;
};

// A library instance of the tool's own, called directly.
class DirectBackend : public LibraryBackend {
protected:
    virtual DrawerLibrary& Library() = 0;
    virtual Clock& WaitClock() = 0;
    DrawerSession& Session() override {
        if (!session_) {
            session_ = std::make_unique<DirectSession>(Library(), WaitClock());
        }
        return *session_;
    }

private:
    std::unique_ptr<DirectSession> session_;
};

// The simulated terminal's session: around each call the drawers' mechanics
// shut what is due and spring open what the call kicked.
class MechanicalSession final : public DrawerSession {
public:
    MechanicalSession(DrawerLibrary& library, Clock& clock, sim::AccessLog& log, sim::SimDrawerMechanics& mechanics)
        : direct_(library, clock), log_(log), mechanics_(mechanics) {}

    int Serialised(const std::function<int(DrawerLibrary&)>& call) override {
        mechanics_.Settle();
        const std::size_t before = log_.Records().size();
        const int result = direct_.Serialised(call);
        const auto& records = log_.Records();
        mechanics_.Observe(std::vector<sim::AccessRecord>(records.begin() + static_cast<std::ptrdiff_t>(before),
                                                          records.end()));
        return result;
    }
    std::string LastError() override { return direct_.LastError(); }
    void SetLastError(std::string text) override { direct_.SetLastError(std::move(text)); }
    Clock& WaitClock() override { return direct_.WaitClock(); }

private:
    DirectSession direct_;
    sim::AccessLog& log_;
    sim::SimDrawerMechanics& mechanics_;
};

// The drawer functions on a terminal in memory, whose drawers open when
// kicked and shut on their own after a while; the INI file is the real one
// in the current directory.
class SimulatedBackend final : public LibraryBackend {
public:
    bool Simulated() const override { return true; }
    void SetPort(uint16_t port, uint32_t value, PortWidth width) override { terminal_.ports.Poke(port, value, width); }
    void SetMemory(uint32_t address, uint32_t value) override { terminal_.board.Poke(address, value); }
    std::vector<sim::AccessRecord> TakeAccesses() override {
        std::vector<sim::AccessRecord> accesses = terminal_.log.Records();
        terminal_.log.Clear();
        return accesses;
    }
    uint64_t NowMicros() override { return terminal_.clock.NowMicros(); }
    std::string UnreachableHint() const override { return "the simulated terminal's hardware library is missing"; }

protected:
    DrawerSession& Session() override { return session_; }

private:
    sim::BasicSimTerminal<sim::VirtualClock, IniProfileStore> terminal_;
    sim::SimDrawerMechanics mechanics_{terminal_.ports, terminal_.board, terminal_.clock};
    MechanicalSession session_{terminal_.library, terminal_.clock, terminal_.log, mechanics_};
};

class HardwareBackend final : public DirectBackend {
public:
    HardwareBackend(std::unique_ptr<PortIo> ports, std::unique_ptr<BoardIo> board)
        : ports_(std::move(ports)), board_(std::move(board)) {}

    bool Simulated() const override { return false; }
    void SetPort(uint16_t, uint32_t, PortWidth) override {}
    void SetMemory(uint32_t, uint32_t) override {}
    std::vector<sim::AccessRecord> TakeAccesses() override { return {}; }
    uint64_t NowMicros() override { return SystemClock().NowMicros(); }
    std::string UnreachableHint() const override {
        return "port drawers need root (or CAP_SYS_RAWIO) and a kernel that allows iopl, memory drawers /dev/mem; "
               "the serial drawer opens /dev/ttyS<n-1> or its Device key. --simulate drives a simulated terminal";
    }

private:
    DrawerLibrary& Library() override { return library_; }
    Clock& WaitClock() override { return SystemClock(); }

    std::unique_ptr<PortIo> ports_;
    std::unique_ptr<BoardIo> board_;
    std::unique_ptr<SharedBusLock> bus_ = MakeSystemSuperIoBusLock();
    IniProfileStore profiles_;
    PosixBackgroundThread monitor_;
    DrawerLibrary library_{
        DrawerPlatform{*ports_, *board_, *bus_, profiles_, MakeSystemSerialLink(), monitor_, SystemClock()}};
};

} // namespace

std::unique_ptr<DrawerBackend> MakeBackend(bool simulate, std::string&) {
    if (simulate) {
        return std::make_unique<SimulatedBackend>();
    }
    return MakeHardwareBackend(MakeSystemPortIo(), MakeSystemBoardIo());
}

std::unique_ptr<DrawerBackend> MakeHardwareBackend(std::unique_ptr<PortIo> ports, std::unique_ptr<BoardIo> board) {
    return std::make_unique<HardwareBackend>(std::move(ports), std::move(board));
}

} // namespace cashdrawer::cli
