// Reading the kernel's listings of who holds the Super I/O ports.
#include "platform/kernel_port_claims.h"

#include <gtest/gtest.h>

namespace cashdrawer {
namespace {

constexpr char kIoportsAsRoot[] = "0000-0cf7 : PCI Bus 0000:00\n"
                                  "  0000-001f : dma1\n"
                                  "  002e-002f : gpio_it87\n"
                                  "  0040-0043 : timer0\n"
                                  "  004e-004f : nct6775\n"
                                  "  0070-0071 : rtc_cmos\n"
                                  "  reserved : acpi-pm\n" // no range: its dash is the name's
                                  "0cf8-0cff : PCI conf1\n";
constexpr char kIoportsAsUser[] = "0000-0000 : PCI Bus 0000:00\n"
                                  "  0000-0000 : dma1\n"
                                  "  0000-0000 : gpio_it87\n";

TEST(KernelPortClaims, TheDriversWhoseRangeOverlapsThePortsAreNamed) {
    struct Case {
        uint16_t first;
        uint16_t last;
        std::vector<std::string> drivers;
    };
    const Case cases[] = {
        {0x2E, 0x2F, {"gpio_it87"}},
        {0x2F, 0x2F, {"gpio_it87"}},       // one port of the range is enough
        {0x4E, 0x4F, {"nct6775"}},
        {0x30, 0x3F, {}},                  // the bus window alone is no driver
        {0x1F, 0x2E, {"dma1", "gpio_it87"}}, // both ends of a range count
        {0x72, 0x7F, {}},
        {0x00, 0x00, {"dma1"}},
    };
    for (const Case& c : cases) {
        const auto drivers = DriversOnPorts(kIoportsAsRoot, c.first, c.last);
        ASSERT_TRUE(drivers.has_value());
        EXPECT_EQ(*drivers, c.drivers) << std::hex << c.first << "-" << c.last;
    }
    EXPECT_FALSE(DriversOnPorts(kIoportsAsUser, 0x2E, 0x2F).has_value());
}

TEST(KernelPortClaims, TheHealthWordsNameHoldersAndLoadedSuperIoDrivers) {
    const char* modules = "nct6775 77824 0 - Live 0x0000000000000000\n"
                          "snd_hda_intel 61440 3 - Live 0x0000000000000000\n"
                          "it87x 100 0 - Live 0x0\n";
    struct Case {
        const char* ioports;
        const char* modules;
        const char* says;
    };
    const Case cases[] = {
        {kIoportsAsRoot, "", "0x2E-0x2F held by the kernel driver gpio_it87 (/proc/ioports)"},
        {"0000-0cf7 : PCI Bus 0000:00\n  0070-0071 : rtc_cmos\n", "", "no kernel driver holds 0x2E-0x2F"},
        {kIoportsAsUser, "", "shows its addresses to root only"},
        {"0000-0cf7 : PCI Bus 0000:00\n  0070-0071 : rtc_cmos\n", modules,
         "no kernel driver holds 0x2E-0x2F; loaded kernel drivers that use the Super I/O chip: nct6775 ("},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        const std::string text = DescribeKernelClaims(c.ioports, c.modules, 0x2E, 0x2F);
        if (*c.says == '\0') {
            EXPECT_EQ(text, "");
        } else {
            EXPECT_NE(text.find(c.says), std::string::npos) << text;
        }
    }
    EXPECT_EQ(SuperIoDriverModules(modules), std::vector<std::string>{"nct6775"});
}

} // namespace
} // namespace cashdrawer
