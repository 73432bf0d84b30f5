#include "interface/catalogue.h"

#include "hardware/drawer_id.h"

#include <array>
#include <cstddef>
#include <string_view>

namespace cashdrawer {
namespace {

constexpr KickBinding Kick(KickKind kind) { return {.kind = kind}; }
constexpr StatusBinding Status(StatusKind kind) { return {.kind = kind}; }

constexpr CatalogueRow SerialRow(int number, const char* id) {
    return {number, id, DrawerMethod::Serial, Kick(KickKind::SerialDrawer), Status(StatusKind::SerialDrawer)};
}
constexpr CatalogueRow MemoryRow(int number, const char* id) {
    return {number, id, DrawerMethod::MemoryGpio, Kick(KickKind::MemoryGpio), Status(StatusKind::MemoryGpio)};
}
constexpr CatalogueRow Profile32Row(int number, const char* id) {
    return {number, id, DrawerMethod::ProfileGpio32, Kick(KickKind::ProfileGpio32), Status(StatusKind::ProfileGpio32)};
}
constexpr CatalogueRow Profile8Row(int number, const char* id) {
    return {number, id, DrawerMethod::ProfileGpio8, Kick(KickKind::ProfileGpio8), Status(StatusKind::ProfileGpio8)};
}

// Super I/O GPIO register 0xF1: drive lines in bits 0 and 1, sense lines in
// bits 2 and 3.
constexpr CatalogueRow SuperIoToggleRow(int number, const char* id, uint8_t driveMask) {
    return {number, id, DrawerMethod::SuperIo, {.kind = KickKind::SuperIoToggle, .value = driveMask},
            Status(StatusKind::SuperIoPrepared)};
}
constexpr CatalogueRow SuperIoPulseRow(int number, const char* id, uint8_t driveMask, uint8_t senseMask) {
    return {number, id, DrawerMethod::SuperIo, {.kind = KickKind::SuperIoPulse, .value = driveMask},
            {.kind = StatusKind::SuperIoDirect, .senseMask = senseMask}};
}

constexpr StatusBinding PortStatus(uint16_t port, uint8_t senseMask, bool port486SetUp = false) {
    return {.kind = StatusKind::PortStatus, .port = port, .senseMask = senseMask, .port486SetUp = port486SetUp};
}
constexpr CatalogueRow PortPulseRow(int number, const char* id, uint16_t port, uint8_t pulse, uint8_t trailingPauseMs,
                                    StatusBinding status) {
    return {number, id, DrawerMethod::FixedPort,
            {.kind = KickKind::PortPulse, .port = port, .value = pulse, .trailingPauseMs = trailingPauseMs}, status};
}
constexpr CatalogueRow PortReadBackRow(int number, const char* id, uint8_t pulse) {
    return {number, id, DrawerMethod::FixedPort, {.kind = KickKind::PortPulseReadBack, .value = pulse},
            PortStatus(0x40B9, 0x04)};
}
constexpr CatalogueRow PortMaskedRow(int number, const char* id) {
    return {number, id, DrawerMethod::FixedPort, Kick(KickKind::PortMaskedPulse), PortStatus(0x48D, 0x04, true)};
}
// Listed by OpenCash (and in the default configuration), but no sequence
// drives these drawers.
constexpr CatalogueRow UndrivenRow(int number, const char* id) {
    return {number, id, DrawerMethod::FixedPort, Kick(KickKind::None), Status(StatusKind::NotRecognised)};
}

constexpr std::array kCatalogue = {
    SerialRow(1, "DL470_CashA"),
    SerialRow(2, "DL470_CashB"),
    MemoryRow(3, "RN2180_CashA"),
    MemoryRow(4, "RN2180_CashB"),
    MemoryRow(5, "RN3470_CashA"),
    MemoryRow(6, "RN3470_CashB"),
    Profile32Row(7, "RN370_CashB"),
    Profile32Row(8, "RN370_CashA"),
    Profile32Row(9, "RN3410_CashB"),
    Profile32Row(10, "RN3410_CashA"),
    Profile32Row(11, "RN4310_CashB"),
    Profile32Row(12, "RN4310_CashA"),
    Profile32Row(13, "RN140_CashB"),
    Profile32Row(14, "RN140_CashA"),
    Profile32Row(15, "RN210_CashB"),
    Profile32Row(16, "RN210_CashA"),
    Profile32Row(17, "RN190_CashB"),
    Profile32Row(18, "RN190_CashA"),
    Profile32Row(19, "KV7640_CashB"),
    Profile32Row(20, "KV7640_CashA"),
    Profile32Row(21, "KV7450XR_CashB"),
    Profile32Row(22, "KV7450XR_CashA"),
    Profile32Row(23, "KV7470XR_CashB"),
    Profile32Row(24, "KV7470XR_CashA"),
    Profile8Row(25, "RN170_CashB"),
    Profile8Row(26, "RN170_CashA"),
    Profile8Row(27, "RN340_CashB"),
    Profile8Row(28, "RN340_CashA"),
    Profile8Row(29, "KV2790L_CashA"),
    Profile8Row(30, "RN2150_CashA"),
    Profile8Row(31, "RN2150_CashB"),
    Profile8Row(32, "KV8041N_CashA"),
    Profile8Row(33, "KV8041N_CashB"),
    Profile8Row(34, "KV8041M_CashA"),
    Profile8Row(35, "KV8041M_CashB"),
    Profile8Row(36, "KV2470_CashA"),
    Profile8Row(37, "KV2470_CashB"),
    Profile32Row(38, "RN6620_CashA"),
    Profile32Row(39, "RN6620_CashB"),
    SuperIoToggleRow(40, "KV7830_CashA", 0x01),
    PortPulseRow(41, "KV7820_CashA", 0x40B9, 0xFD, 0, PortStatus(0x40B9, 0x04)),
    PortPulseRow(42, "KV4980_CashA", 0x404D, 0x7F, 10, PortStatus(0x404A, 0x10)),
    SuperIoToggleRow(43, "KV7450_CashA", 0x01),
    PortReadBackRow(44, "KV9320_CashA", 0xFC),
    PortMaskedRow(45, "KV9360_CashA"),
    PortPulseRow(46, "KV7100_CashA", 0x40B9, 0xF7, 0, PortStatus(0x40B9, 0x04)),
    SuperIoToggleRow(47, "RN2110_CashA", 0x01),
    SuperIoPulseRow(48, "RN320_CashA", 0x01, 0x04),
    SuperIoToggleRow(49, "KV7830_CashB", 0x02),
    UndrivenRow(50, "KV7820_CashB"),
    UndrivenRow(51, "KV4980_CashB"),
    SuperIoToggleRow(52, "KV7450_CashB", 0x02),
    PortReadBackRow(53, "KV9320_CashB", 0xF6),
    PortMaskedRow(54, "KV9360_CashB"),
    UndrivenRow(55, "KV7100_CashB"),
    SuperIoToggleRow(56, "RN2110_CashB", 0x02),
    SuperIoPulseRow(57, "RN320_CashB", 0x02, 0x08),
};
static_assert(kCatalogue.size() == 57);

constexpr bool NumberedInOrder() {
    for (std::size_t i = 0; i < kCatalogue.size(); ++i) {
        if (kCatalogue[i].number != static_cast<int>(i + 1)) {
            return false;
        }
    }
    return true;
}
static_assert(NumberedInOrder());

// GetCashStatus tests the serial rows, then the memory-mapped rows with
// RN2180's B before its A, then the port-based rows; the Super I/O and fixed
// port rows are grouped by method. Rows 50, 51 and 55 are not tested.
constexpr std::array<uint8_t, 54> kStatusTestOrder = {
    1,  2,  4,  3,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18,
    19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36,
    37, 38, 39, 40, 43, 47, 49, 52, 56, 41, 42, 44, 53, 45, 54, 46, 48, 57,
};

constexpr bool StatusOrderMatchesBindings() {
    // Exactly the rows that have a status binding, each once.
    std::array<int, kCatalogue.size() + 1> seen{};
    for (uint8_t number : kStatusTestOrder) {
        if (number < 1 || number > kCatalogue.size() ||
            kCatalogue[number - 1].status.kind == StatusKind::NotRecognised || seen[number]++ != 0) {
            return false;
        }
    }
    return true;
}
static_assert(StatusOrderMatchesBindings());

} // namespace

DrawerLetter CatalogueRow::Letter() const {
    return std::string_view(drawerId).ends_with("_CashB") ? DrawerLetter::B : DrawerLetter::A;
}

const char* CatalogueRow::ProfileId() const {
    if (method == DrawerMethod::ProfileGpio32) {
        return Letter() == DrawerLetter::A ? "RN370_CashA" : "RN370_CashB";
    }
    return drawerId;
}

std::span<const CatalogueRow> Catalogue() { return kCatalogue; }
std::span<const uint8_t> StatusTestOrder() { return kStatusTestOrder; }

const CatalogueRow* FindForOpenCash(const char* drawerId) {
    if (drawerId == nullptr) {
        return nullptr;
    }
    for (const CatalogueRow& row : kCatalogue) {
        if (SameDrawerId(drawerId, row.drawerId)) {
            return &row;
        }
    }
    return nullptr;
}

const CatalogueRow* FindForGetCashStatus(const char* drawerId) {
    if (drawerId == nullptr) {
        return nullptr;
    }
    for (uint8_t number : kStatusTestOrder) {
        const CatalogueRow& row = kCatalogue[number - 1];
        if (SameDrawerId(drawerId, row.drawerId)) {
            return &row;
        }
    }
    return nullptr;
}

} // namespace cashdrawer
