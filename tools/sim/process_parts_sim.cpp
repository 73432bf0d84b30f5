// The simulated flavour of the shared library (libcashdrawer_sim.so): the
// same exports on a terminal in memory - port space with its Super I/O
// chip, physical memory, a serial link without a device - on a virtual
// clock, so a kick returns at once. The configuration file is the real one
// in the current directory. Every access is written, as the tool prints it,
// to the file CASHDRAWER_SIM_TRACE names, if it names one; and the
// CashDrawerSim* functions script the terminal and read its trace.
#include "cash_drawer.h"
#include "config/profile_ini.h"
#include "interface/caller_buffer.h"
#include "interface/process_parts.h"
#include "platform/export_lock.h"
#include "sim/sim_terminal.h"

#include <cstdio>
#include <cstdlib>

namespace cashdrawer::sim {
namespace {

class SimParts final : public ProcessParts, public SimHardware<VirtualClock, IniProfileStore> {
public:
    DrawerPlatform Platform() override { return SimHardware::Platform(); }

    // A wait's pauses pass on the virtual clock too, and show in the trace.
    Clock& WaitClock() override { return clock; }

    // Appends what the call did to the trace file.
    void AfterCall() override {
        const char* path = std::getenv("CASHDRAWER_SIM_TRACE");
        const auto& records = log.Records();
        if (path != nullptr && *path != '\0' && written_ < records.size()) {
            if (std::FILE* file = std::fopen(path, "a")) {
                for (; written_ < records.size(); ++written_) {
                    std::fprintf(file, "%s\n", FormatAccess(records[written_], 0).c_str());
                }
                std::fclose(file);
            }
        }
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
    }

private:
    std::size_t written_ = 0;
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
