// One line of English for a call that gave -1, -2 or -3: what went wrong,
// and what was tried, in the words a technician can act on.
#pragma once

#include "hardware/result.h"

#include <cstdint>
#include <string>

namespace cashdrawer {

struct FailureContext {
    const char* function = ""; // the export: "OpenCash", "GetCashStatus", ...
    const char* drawerId = nullptr;
    std::string portIo;     // the port I/O library's diagnosis
    std::string boardIo;    // the board I/O library's diagnosis
    std::string serialPort; // the COM port, and the system's words when it did not open
    int32_t baudRate = 0;
    uint64_t silentForMs = 0; // since the oldest unanswered status request
};

std::string ExplainFailure(Result result, const FailureContext& context);

// The catalogue's identifier that `drawerId` misses only by letter case or
// blanks, or null.
const char* NearestDrawerId(const char* drawerId);

} // namespace cashdrawer
