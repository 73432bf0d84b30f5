// The kernel's own listings, read where the system has them (Linux).
#include "platform/kernel_port_claims.h"

#include "config/ini_file.h"

namespace cashdrawer {

std::string KernelClaimsOnPorts(uint16_t first, uint16_t last) {
    // Whole-file reads, as the configuration store makes them.
    return DescribeKernelClaims(ReadIniFile("/proc/ioports").value_or(""), ReadIniFile("/proc/modules").value_or(""),
                                first, last);
}

} // namespace cashdrawer
