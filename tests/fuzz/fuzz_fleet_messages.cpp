// What a broker hands `fleet watch`: any topic, any payload, retained from
// any terminal of any version. The view takes it or leaves it, and its
// table and JSON are always printable.
#include "fleet/fleet_view.h"

#include <string>

#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace cashdrawer::agent;
    cashdrawer::fuzz::FuzzInput input(data, size);
    FleetView view;
    static const char* const kTopics[] = {"cashdrawer/v1/s/t/health", "cashdrawer/v1/s/t/events",
                                          "cashdrawer/v1/s/t/statistics", "cashdrawer/v1/s/u/events"};
    // Messages one after another: a selector byte, then the payload up to a NUL.
    while (!input.Empty()) {
        const std::string topic = kTopics[input.Byte() % 4];
        view.Take(topic, input.Until(0));
    }
    view.Table();
    view.ToJson().dump(); // (--json prints this: it must never throw)
    return 0;
}
