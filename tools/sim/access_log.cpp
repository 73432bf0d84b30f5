#include "sim/access_log.h"

#include <cstdio>

namespace cashdrawer::sim {

std::string FormatAccess(const AccessRecord& record, uint64_t originMicros) {
    const uint64_t elapsed = record.timeMicros - originMicros;
    char when[32];
    std::snprintf(when, sizeof when, "+%llu.%03llu ms", static_cast<unsigned long long>(elapsed / 1000),
                  static_cast<unsigned long long>(elapsed % 1000));
    const char* widthName = record.width == 4 ? "dword" : "byte";
    const int digits = record.width == 4 ? 8 : 2;
    char line[128];
    switch (record.op) {
    case AccessOp::Initialize:
        std::snprintf(line, sizeof line, "%12s  InitializeWinIo", when);
        break;
    case AccessOp::Shutdown:
        std::snprintf(line, sizeof line, "%12s  ShutdownWinIo", when);
        break;
    case AccessOp::Read:
        std::snprintf(line, sizeof line, "%12s  read  0x%04X -> 0x%0*X (%s)", when, record.port, digits,
                      static_cast<unsigned>(record.value), widthName);
        break;
    case AccessOp::Write:
        std::snprintf(line, sizeof line, "%12s  write 0x%04X <- 0x%0*X (%s)", when, record.port, digits,
                      static_cast<unsigned>(record.value), widthName);
        break;
    case AccessOp::Pause:
        std::snprintf(line, sizeof line, "%12s  pause %u ms", when, static_cast<unsigned>(record.value));
        break;
    case AccessOp::BoardOpen:
        std::snprintf(line, sizeof line, "%12s  olvexioOpen -> handle 0x%X", when, static_cast<unsigned>(record.value));
        break;
    case AccessOp::BoardClose:
        std::snprintf(line, sizeof line, "%12s  olvexioClose", when);
        break;
    case AccessOp::MemRead:
        std::snprintf(line, sizeof line, "%12s  read  [0x%08X] -> 0x%08X", when, static_cast<unsigned>(record.address),
                      static_cast<unsigned>(record.value));
        break;
    case AccessOp::MemWrite:
        std::snprintf(line, sizeof line, "%12s  write [0x%08X] <- 0x%08X", when, static_cast<unsigned>(record.address),
                      static_cast<unsigned>(record.value));
        break;
    case AccessOp::BusClaim:
        std::snprintf(line, sizeof line, "%12s  Super I/O ports claimed%s", when, record.value ? "" : " (timed out)");
        break;
    case AccessOp::BusRelease:
        std::snprintf(line, sizeof line, "%12s  Super I/O ports released", when);
        break;
    }
    std::string text = line;
    if ((record.op == AccessOp::Read || record.op == AccessOp::Write) && record.address == kMisuse) {
        text += " OUTSIDE THE PORT I/O BRACKET";
    }
    return text;
}

} // namespace cashdrawer::sim
