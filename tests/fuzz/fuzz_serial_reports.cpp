// The serial report assembler, fed fuzzed bytes in fuzzed chunks. A model
// of the burst rules runs beside it: the published state changes only when
// a well-formed report (a burst of exactly 4 bytes, marker bit set) ends.

#include "serial/serial_drawer.h"
#include "sim/sim_serial.h"
#include "sim/virtual_clock.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "fuzz_input.h"

using cashdrawer::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    cashdrawer::fuzz::FuzzInput input(data, size);
    cashdrawer::sim::AccessLog log;
    cashdrawer::sim::VirtualClock clock(log);
    cashdrawer::sim::SimSerialLink link(clock);
    cashdrawer::SerialDrawerState state;
    cashdrawer::StatusReportAssembler assembler;

    // The model: the burst so far, and what has been published.
    std::vector<uint8_t> burst;
    bool received = false;
    int status = 0;
    uint64_t reports = 0;
    while (!input.Empty()) {
        // A chunk: its length (0: a poll that finds nothing), then its bytes.
        // Below 128 the length itself; above, in steps of 20, so that chunks
        // run past one read's 1000 bytes and bursts past the 2048 gathered.
        const uint8_t code = input.Byte();
        const std::size_t length = code < 128 ? code : (code - 128u) * 20u;
        std::vector<uint8_t> chunk;
        for (std::size_t i = 0; i < length && !input.Empty(); ++i) {
            chunk.push_back(input.Byte());
        }
        const bool endsBurst = chunk.empty();
        const std::size_t delivered = std::min<std::size_t>(chunk.size(), cashdrawer::kSerialReadMax);
        link.QueueInput(chunk);
        assembler.Poll(link, state);

        if (endsBurst) {
            if (burst.size() == 4 && (burst[0] & 0x10) != 0) {
                received = true;
                status = (burst[0] & 0x04) == 0 ? 1 : 0;
                ++reports;
            }
            burst.clear();
        } else {
            burst.insert(burst.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(delivered));
        }
        Require(state.statusReceived == received);
        Require(state.serialDrawerStatus == status);
        Require(state.reportsPublished == reports);
    }
    return 0;
}
