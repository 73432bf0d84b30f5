// What the process-wide library runs on: the system's hardware libraries,
// COM port, monitor and clock - or, in the simulated library, a terminal in
// memory. Made at the first export call, given back at the unload.
#pragma once

#include "interface/drawer_methods.h"

#include <memory>

namespace cashdrawer {

class ProcessParts {
public:
    virtual ~ProcessParts() = default;
    virtual DrawerPlatform Platform() = 0;
    // The clock the waits pause on between their reads.
    virtual Clock& WaitClock() = 0;
    // Before and after each export call, under the export lock.
    virtual void BeforeCall() {}
    virtual void AfterCall() {}
};

// The flavour this library was linked with.
std::unique_ptr<ProcessParts> MakeProcessParts();

// Under the export lock: the process's parts, made first if need be.
ProcessParts& CurrentProcessParts();

} // namespace cashdrawer
