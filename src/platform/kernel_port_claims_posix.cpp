// The kernel's own listings, read where the system has them (Linux).
#include "platform/kernel_port_claims.h"

#include <cstdio>

namespace cashdrawer {
namespace {

// C stdio rather than iostreams: the library stays small.
std::string ReadListing(const char* path) {
    std::string text;
    if (std::FILE* file = std::fopen(path, "r")) {
        char block[4096];
        for (std::size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;) {
            text.append(block, got);
        }
        std::fclose(file);
    }
    return text;
}

} // namespace

std::string KernelClaimsOnPorts(uint16_t first, uint16_t last) {
    return DescribeKernelClaims(ReadListing("/proc/ioports"), ReadListing("/proc/modules"), first, last);
}

} // namespace cashdrawer
