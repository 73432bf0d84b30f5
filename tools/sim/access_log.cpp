#include "sim/access_log.h"

#include <cstdio>

namespace cashdrawer::sim {

std::string DescribeAccess(const AccessRecord& record) {
    const char* widthName = record.width == 4 ? "dword" : "byte";
    const int digits = record.width == 4 ? 8 : 2;
    const unsigned value = record.value;
    char line[128];
    switch (record.op) {
    case AccessOp::Initialize:
        std::snprintf(line, sizeof line, "InitializeWinIo%s", value != 0 ? "" : " -> failed");
        break;
    case AccessOp::Shutdown:
        std::snprintf(line, sizeof line, "ShutdownWinIo");
        break;
    case AccessOp::Read:
        std::snprintf(line, sizeof line, "read  0x%04X -> 0x%0*X (%s)", record.port, digits, value, widthName);
        break;
    case AccessOp::Write:
        std::snprintf(line, sizeof line, "write 0x%04X <- 0x%0*X (%s)", record.port, digits, value, widthName);
        break;
    case AccessOp::Pause:
        std::snprintf(line, sizeof line, "pause %u ms", value);
        break;
    case AccessOp::BoardOpen:
        std::snprintf(line, sizeof line, "olvexioOpen -> handle 0x%X", value);
        break;
    case AccessOp::BoardClose:
        std::snprintf(line, sizeof line, "olvexioClose handle 0x%X", value);
        break;
    case AccessOp::MemRead:
        std::snprintf(line, sizeof line, "read  [0x%08X] -> 0x%08X", static_cast<unsigned>(record.address), value);
        break;
    case AccessOp::MemWrite:
        std::snprintf(line, sizeof line, "write [0x%08X] <- 0x%08X", static_cast<unsigned>(record.address), value);
        break;
    case AccessOp::BusClaim:
        std::snprintf(line, sizeof line, "Super I/O ports claimed%s", value != 0 ? "" : " (timed out)");
        break;
    case AccessOp::BusRelease:
        std::snprintf(line, sizeof line, "Super I/O ports released");
        break;
    }
    std::string text = line;
    if ((record.op == AccessOp::Read || record.op == AccessOp::Write) && record.address == kMisuse) {
        text += " OUTSIDE THE PORT I/O BRACKET";
    }
    return text;
}

std::string FormatAccess(const AccessRecord& record, uint64_t originMicros) {
    const uint64_t elapsed = record.timeMicros - originMicros;
    char when[32];
    std::snprintf(when, sizeof when, "+%llu.%03llu ms", static_cast<unsigned long long>(elapsed / 1000),
                  static_cast<unsigned long long>(elapsed % 1000));
    char column[48];
    std::snprintf(column, sizeof column, "%12s  ", when);
    return column + DescribeAccess(record);
}

} // namespace cashdrawer::sim
