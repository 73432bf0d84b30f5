#include "platform/kernel_port_claims.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace cashdrawer {
namespace {

// Kernel drivers that reach a Super I/O chip through its index/data pair:
// hardware monitors and GPIO expanders. Each takes the pair only for the
// length of one access, so /proc/ioports rarely shows them; loaded, they
// may still step between our writes.
constexpr const char* kSuperIoDrivers[] = {
    "f71805f", "f71882fg", "gpio_f7188x", "gpio_it87", "gpio_winbond", "it87",     "nct6683",
    "nct6775", "nct6775_core", "pc87360", "pc87427",  "sch5627",  "sch5636", "smsc47b397",
    "smsc47m1", "vt1211",  "w83627ehf", "w83627hf",
};

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

std::string HexRange(uint16_t first, uint16_t last) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%X-0x%X", static_cast<unsigned>(first), static_cast<unsigned>(last));
    return text;
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

// Calls `each` with every line of the text, without its newline.
template <typename Each>
void ForEachLine(const std::string& text, Each each) {
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        each(text.substr(start, end - start));
        start = end + 1;
    }
}

} // namespace

std::optional<std::vector<std::string>> DriversOnPorts(const std::string& ioports, uint16_t first, uint16_t last) {
    std::vector<std::string> drivers;
    bool anyAddress = false;
    ForEachLine(ioports, [&](const std::string& line) {
        // "  0070-0071 : rtc_cmos"
        const auto colon = line.find(" : ");
        // The range's dash is before the colon (a driver's name may hold one).
        const auto dash = line.substr(0, colon).find('-');
        if (colon == std::string::npos || dash == std::string::npos) {
            return;
        }
        const unsigned long start = std::strtoul(line.c_str(), nullptr, 16);
        const unsigned long end = std::strtoul(line.c_str() + dash + 1, nullptr, 16);
        anyAddress = anyAddress || end != 0;
        const std::string name = Trimmed(line.substr(colon + 3));
        if (start <= last && end >= first && name.rfind("PCI Bus", 0) != 0 &&
            std::find(drivers.begin(), drivers.end(), name) == drivers.end()) {
            drivers.push_back(name);
        }
    });
    if (!anyAddress) {
        return std::nullopt;
    }
    return drivers;
}

std::vector<std::string> SuperIoDriverModules(const std::string& modules) {
    std::vector<std::string> loaded;
    ForEachLine(modules, [&](const std::string& line) {
        const std::string name = line.substr(0, line.find(' '));
        if (std::find(std::begin(kSuperIoDrivers), std::end(kSuperIoDrivers), name) != std::end(kSuperIoDrivers)) {
            loaded.push_back(name);
        }
    });
    return loaded;
}

std::string DescribeKernelClaims(const std::string& ioports, const std::string& modules, uint16_t first,
                                 uint16_t last) {
    if (ioports.empty() && modules.empty()) {
        return {};
    }
    const std::string range = HexRange(first, last);
    std::string text;
    if (const auto drivers = DriversOnPorts(ioports, first, last); !drivers) {
        text = "who holds " + range + " is not known (/proc/ioports shows its addresses to root only)";
    } else if (drivers->empty()) {
        text = "no kernel driver holds " + range;
    } else {
        text = range + " held by the kernel driver " + Joined(*drivers) + " (/proc/ioports)";
    }
    if (const auto loaded = SuperIoDriverModules(modules); !loaded.empty()) {
        text += "; loaded kernel drivers that use the Super I/O chip: " + Joined(loaded) +
                " (their accesses can fall between a drawer sequence's writes)";
    }
    return text;
}

} // namespace cashdrawer
