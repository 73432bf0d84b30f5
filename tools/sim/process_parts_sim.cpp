// The simulated flavour of the shared library (libcashdrawer_sim.so): the
// same exports on a terminal in memory - port space with its Super I/O
// chip, physical memory, a serial link without a device - on a virtual
// clock, so a kick returns at once. The configuration file is the real one
// in the current directory. Every access is written, as the tool prints it,
// to the file CASHDRAWER_SIM_TRACE names, if it names one; and the
// CashDrawerSim* functions script the terminal and read its trace. It is
// as thread-safe as the real library: every touch of the terminal is made
// under the export lock, and a wait's pauses pass in real time.
#include "cash_drawer_sim.h"
#include "config/profile_ini.h"
#include "interface/caller_buffer.h"
#include "interface/process_parts.h"
#include "platform/clock.h"
#include "platform/export_lock.h"
#include "sim/sim_drawer_mechanics.h"
#include "sim/sim_terminal.h"

#include <cstdio>
#include <cstdlib>

namespace cashdrawer::sim {
namespace {

// The clock a wait pauses on between its reads, outside the export lock:
// each pause shows in the trace and moves the virtual clock - under the
// lock, as every other touch of the terminal is - and also passes in real
// time, so that another thread can script the sensor while a wait is on
// and a long wait idles instead of spinning through its reads.
class PacedWaitClock final : public Clock {
public:
    explicit PacedWaitClock(VirtualClock& terminalClock) : terminal_(terminalClock) {}

    void SleepMs(uint32_t ms) override {
        {
            ExportLock lock;
            terminal_.SleepMs(ms);
        }
        SystemClock().SleepMs(ms);
    }
    uint64_t NowMicros() override {
        ExportLock lock;
        return terminal_.NowMicros();
    }
    std::unique_ptr<Alarm> MakeAlarm() override { return terminal_.MakeAlarm(); }
    bool WaitMs(Alarm& alarm, uint32_t ms) override {
        ExportLock lock;
        return terminal_.WaitMs(alarm, ms);
    }

private:
    VirtualClock& terminal_;
};

class SimParts final : public ProcessParts, public SimHardware<VirtualClock, IniProfileStore> {
public:
    // The trace kept in memory: the newest accesses, at least half this many.
    static constexpr std::size_t kKeptRecords = 65536;
    // The trace file: past this size (or CASHDRAWER_SIM_TRACE_MAX_BYTES) it
    // moves to "<file>.old", replacing the one before, and starts anew.
    static constexpr long kTraceFileBytes = 64L * 1024 * 1024;

    DrawerPlatform Platform() override { return SimHardware::Platform(); }

    Clock& WaitClock() override { return waitClock_; }

    SimParts() {
        // A program under test is told on its error stream when a setting
        // it was started with is not taken.
        std::string problems;
        mechanics.Configure(std::getenv("CASHDRAWER_SIM_DRAWER_CLOSES_MS"), std::getenv("CASHDRAWER_SIM_DRAWER_JAMMED"),
                            &problems);
        if (!problems.empty()) {
            std::fprintf(stderr, "%s", problems.c_str());
        }
    }

    // A drawer kicked a while ago shuts before the call reads it.
    void BeforeCall() override { mechanics.Settle(); }

    // Springs open what the call kicked, appends what it did to the trace
    // file, and keeps the trace bounded.
    void AfterCall() override {
        const char* path = std::getenv("CASHDRAWER_SIM_TRACE");
        const auto& records = log.Records();
        if (observed_ < records.size()) {
            mechanics.Observe(std::vector<AccessRecord>(records.begin() + static_cast<std::ptrdiff_t>(observed_),
                                                        records.end()));
        }
        if (path != nullptr && *path != '\0' && written_ < records.size()) {
            AppendToTraceFile(path, records);
        }
        written_ = records.size();
        if (records.size() > kKeptRecords) {
            log.DropOldest(records.size() - kKeptRecords / 2);
            written_ = records.size();
        }
        observed_ = records.size();
    }

    std::string Trace() const {
        std::string text;
        for (const AccessRecord& record : log.Records()) {
            text += DescribeAccess(record);
            text += '\n';
        }
        return text;
    }
    void ClearTrace() {
        log.Clear();
        written_ = 0;
        observed_ = 0;
    }

    // The drawers open and shut in real time: an application polls them
    // on its own clock, not on the terminal's virtual one.
    SimDrawerMechanics mechanics{ports, board, SystemClock()};

private:
    void AppendToTraceFile(const char* path, const std::vector<AccessRecord>& records) {
        std::FILE* file = std::fopen(path, "a");
        if (file == nullptr) {
            return;
        }
        for (; written_ < records.size(); ++written_) {
            std::fprintf(file, "%s\n", FormatAccess(records[written_], 0).c_str());
        }
        const long size = std::ftell(file);
        std::fclose(file);
        const char* limit = std::getenv("CASHDRAWER_SIM_TRACE_MAX_BYTES");
        const long maxBytes = limit != nullptr && std::atol(limit) > 0 ? std::atol(limit) : kTraceFileBytes;
        if (size > maxBytes) {
            std::rename(path, (std::string(path) + ".old").c_str());
        }
    }

    PacedWaitClock waitClock_{clock};
    std::size_t written_ = 0;
    std::size_t observed_ = 0;
};

SimParts& Terminal() { return static_cast<SimParts&>(CurrentProcessParts()); }

} // namespace
} // namespace cashdrawer::sim

namespace cashdrawer {
std::unique_ptr<ProcessParts> MakeProcessParts() { return std::make_unique<sim::SimParts>(); }
} // namespace cashdrawer

using cashdrawer::ExportLock;
using cashdrawer::sim::Terminal;

// What a port reads from now on (width 1 or 4), without a trace record.
extern "C" CASH_DRAWER_API void CashDrawerSimSetPort(unsigned port, unsigned value, unsigned width) {
    ExportLock lock;
    Terminal().ports.Poke(static_cast<uint16_t>(port), value,
                          width == 4 ? cashdrawer::PortWidth::DWord : cashdrawer::PortWidth::Byte);
}

// What a 32-bit word of physical memory reads from now on.
extern "C" CASH_DRAWER_API void CashDrawerSimSetMemory(unsigned address, unsigned value) {
    ExportLock lock;
    Terminal().board.Poke(address, value);
}

// Every access since the load (or the last clear), a line each, as the
// golden traces spell them; copied as GetCashDrawerError copies.
extern "C" CASH_DRAWER_API int CashDrawerSimTrace(char* buffer, int size) {
    ExportLock lock;
    return cashdrawer::CopyToCallerBuffer(Terminal().Trace(), buffer, size);
}

extern "C" CASH_DRAWER_API void CashDrawerSimClearTrace(void) {
    ExportLock lock;
    Terminal().ClearTrace();
}

// Pushes a kicked drawer shut: 1 it was open, 0 it was not, -1 no drawer
// of that identifier has a sensor that moves.
extern "C" CASH_DRAWER_API int CashDrawerSimPushDrawerShut(const char* drawerId) {
    ExportLock lock;
    return Terminal().mechanics.PushShut(drawerId);
}

// A jammed drawer stays shut when kicked (nonzero), or moves again (0):
// 1, or -1 when no drawer of that identifier has a sensor that moves.
extern "C" CASH_DRAWER_API int CashDrawerSimJamDrawer(const char* drawerId, int jammed) {
    ExportLock lock;
    return Terminal().mechanics.SetJammed(drawerId, jammed != 0);
}

// How long a kicked drawer stays open on its own; 0: until pushed shut.
extern "C" CASH_DRAWER_API void CashDrawerSimSetDrawerClosesAfter(unsigned ms) {
    ExportLock lock;
    Terminal().mechanics.SetClosesAfterMs(ms);
}
