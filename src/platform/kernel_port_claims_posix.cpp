// The kernel's own listings, read where the system has them (Linux).
#include "platform/kernel_port_claims.h"

#include "platform/whole_file.h"

namespace cashdrawer {

std::string KernelClaimsOnPorts(uint16_t first, uint16_t last) {
    // Whole-file reads, as the configuration store makes them.
    return DescribeKernelClaims(ReadWholeFile("/proc/ioports").value_or(""), ReadWholeFile("/proc/modules").value_or(""),
                                first, last);
}

} // namespace cashdrawer
