// Which kernel drivers share the I/O ports this library uses. On Linux the
// kernel's hardware-monitoring and GPIO drivers reach the Super I/O chip
// through the same index/data pair; the kernel lists what it holds in
// /proc/ioports and what is loaded in /proc/modules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cashdrawer {

// The names of /proc/ioports' entries whose range overlaps first..last,
// bus windows ("PCI Bus ...") left out. Nothing when the listing hides its
// addresses, as it does (all zero) from everyone but root.
std::optional<std::vector<std::string>> DriversOnPorts(const std::string& ioports, uint16_t first, uint16_t last);

// The loaded modules of /proc/modules' text that drive Super I/O chips.
std::vector<std::string> SuperIoDriverModules(const std::string& modules);

// In words, from the two listings' texts: who holds first..last and which
// Super I/O drivers are loaded. Empty when there is neither listing (a
// system other than Linux).
std::string DescribeKernelClaims(const std::string& ioports, const std::string& modules, uint16_t first,
                                 uint16_t last);

// The same, read from this system's listings; empty on Windows, which has
// none a program can read.
std::string KernelClaimsOnPorts(uint16_t first, uint16_t last);

} // namespace cashdrawer
