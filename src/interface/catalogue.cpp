#include "interface/catalogue.h"

#include "hardware/drawer_id.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>

namespace cashdrawer {
namespace {

constexpr bool EndsWithCashB(const char* id) {
    const char* end = id;
    while (*end != '\0') {
        ++end;
    }
    return end - id >= 6 && SameDrawerId(end - 6, "_CashB");
}

constexpr CatalogueRow SerialRow(int number, const char* id) { return {number, id, &kSerialDrawer, SerialArgs{}}; }
constexpr CatalogueRow MemoryRow(int number, const char* id) { return {number, id, &kMemoryGpio, MemoryGpioArgs{}}; }
constexpr CatalogueRow Profile8Row(int number, const char* id, const PortGpioProfile& wiring) {
    return {number, id, &kPortGpio8, PortGpio8Args{&wiring}};
}
// Every 32-bit model is wired like the RN370: the RN370 wiring of the same
// drawer letter drives it.
constexpr CatalogueRow Profile32Row(int number, const char* id) {
    return {number, id, &kPortGpio32, PortGpio32Args{EndsWithCashB(id) ? &kRn370WiringB : &kRn370WiringA}};
}

// Super I/O GPIO register 0xF1: drive lines in bits 0 and 1, sense lines in
// bits 2 and 3.
constexpr CatalogueRow SuperIoToggleRow(int number, const char* id, uint8_t driveMask) {
    return {number, id, &kSuperIoToggle, SuperIoToggleArgs{.driveMask = driveMask}};
}
constexpr CatalogueRow SuperIoPulseRow(int number, const char* id, uint8_t driveMask, uint8_t senseMask) {
    return {number, id, &kSuperIoPulse, SuperIoPulseArgs{.driveMask = driveMask, .senseMask = senseMask}};
}

constexpr CatalogueRow PortPulseRow(int number, const char* id, PortPulseArgs args) {
    return {number, id, &kPortPulse, args};
}
// KV9320: kick and sense share the read-back port; the sense line is bit 2.
constexpr CatalogueRow PortReadBackRow(int number, const char* id, uint8_t pulse) {
    return {number, id, &kPortReadBack, PortReadBackArgs{.pulse = pulse, .senseMask = 0x04}};
}
// KV9360: sense on port 0x48D, bit 2.
constexpr CatalogueRow PortMaskedRow(int number, const char* id) {
    return {number, id, &kPortMasked, PortMaskedArgs{.statusPort = 0x48D, .senseMask = 0x04}};
}
constexpr CatalogueRow UndrivenRow(int number, const char* id) { return {number, id, &kUndriven, UndrivenArgs{}}; }

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
    Profile8Row(25, "RN170_CashB", kRn170WiringB),
    Profile8Row(26, "RN170_CashA", kRn170WiringA),
    Profile8Row(27, "RN340_CashB", kRn340WiringB),
    Profile8Row(28, "RN340_CashA", kRn340WiringA),
    Profile8Row(29, "KV2790L_CashA", kKv2790lWiringA),
    Profile8Row(30, "RN2150_CashA", kRn340WiringA),
    Profile8Row(31, "RN2150_CashB", kRn340WiringB),
    Profile8Row(32, "KV8041N_CashA", kRn340WiringA),
    Profile8Row(33, "KV8041N_CashB", kRn340WiringB),
    Profile8Row(34, "KV8041M_CashA", kRn170WiringA),
    Profile8Row(35, "KV8041M_CashB", kRn170WiringB),
    Profile8Row(36, "KV2470_CashA", kKv2470WiringA),
    Profile8Row(37, "KV2470_CashB", kKv2470WiringB),
    Profile32Row(38, "RN6620_CashA"),
    Profile32Row(39, "RN6620_CashB"),
    SuperIoToggleRow(40, "KV7830_CashA", 0x01),
    PortPulseRow(41, "KV7820_CashA", {.kickPort = 0x40B9, .pulse = 0xFD, .trailingPauseMs = 0, .statusPort = 0x40B9, .senseMask = 0x04}),
    PortPulseRow(42, "KV4980_CashA", {.kickPort = 0x404D, .pulse = 0x7F, .trailingPauseMs = 10, .statusPort = 0x404A, .senseMask = 0x10}),
    SuperIoToggleRow(43, "KV7450_CashA", 0x01),
    PortReadBackRow(44, "KV9320_CashA", 0xFC),
    PortMaskedRow(45, "KV9360_CashA"),
    PortPulseRow(46, "KV7100_CashA", {.kickPort = 0x40B9, .pulse = 0xF7, .trailingPauseMs = 0, .statusPort = 0x40B9, .senseMask = 0x04}),
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

// Every row carries the arguments its method takes; the 32-bit rows carry
// the RN370 wiring of their own letter, the 8-bit rows an 8-bit wiring.
// (Compared by content: addresses are not constants in a sanitised build.)
constexpr bool ArgumentsMatchMethod(const CatalogueRow& row) {
    if (row.args.index() != row.method->argsIndex) {
        return false;
    }
    if (const auto* args = std::get_if<PortGpio32Args>(&row.args)) {
        const PortGpioProfile& own = EndsWithCashB(row.drawerId) ? kRn370WiringB : kRn370WiringA;
        return *args->wiring == own;
    }
    if (const auto* args = std::get_if<PortGpio8Args>(&row.args)) {
        return args->wiring->outputPort != kRn370WiringA.outputPort && args->wiring->pulseMs == kKickPulseMs8;
    }
    return true;
}
static_assert(std::all_of(kCatalogue.begin(), kCatalogue.end(), ArgumentsMatchMethod));
// The guard itself refuses what it is there to refuse: arguments of another
// method, a drawer B on drawer A's lines, an 8-bit row on the 32-bit register.
// (The faulty rows carry no number: it means nothing to this guard.)
template <typename Args>
constexpr bool Refuses(const DrawerOps& method, const char* id, Args args) {
    // Built whole: a variant whose alternative changes by assignment is not
    // a constant expression under every standard library.
    const CatalogueRow row{0, id, &method, args};
    return !ArgumentsMatchMethod(row);
}
static_assert(Refuses(kMemoryGpio, "RN2180_CashA", SerialArgs{}));
static_assert(Refuses(kPortGpio32, "RN370_CashB", PortGpio32Args{&kRn370WiringA}));
static_assert(Refuses(kPortGpio8, "RN340_CashA", PortGpio8Args{&kRn370WiringA}));

// Each row's number is its place, counted from 1.
template <std::size_t N>
constexpr bool NumberedInOrder(const std::array<CatalogueRow, N>& rows) {
    for (std::size_t i = 0; i < N; ++i) {
        if (rows[i].number != static_cast<int>(i + 1)) {
            return false;
        }
    }
    return true;
}
static_assert(NumberedInOrder(kCatalogue));
static_assert(!NumberedInOrder(std::array{UndrivenRow(1, "A"), UndrivenRow(3, "B")}));

// GetCashStatus tests the serial rows, then the memory-mapped rows with
// RN2180's B before its A, then the port-based rows; the Super I/O and fixed
// port rows are grouped by method. Rows 50, 51 and 55 are not tested.
constexpr std::array<uint8_t, 54> kStatusTestOrder = {
    1,  2,  4,  3,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18,
    19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36,
    37, 38, 39, 40, 43, 47, 49, 52, 56, 41, 42, 44, 53, 45, 54, 46, 48, 57,
};

// GetCashStatus reads every row but the undriven ones.
constexpr bool ReadsStatus(const CatalogueRow& row) { return row.method->argsIndex != kArgsIndex<UndrivenArgs>; }

constexpr bool StatusOrderMatchesBindings(std::span<const uint8_t> order) {
    // Exactly the rows whose method reads a state, each once.
    std::array<bool, kCatalogue.size() + 1> seen{};
    for (uint8_t number : order) {
        if (number < 1 || number > kCatalogue.size() || !ReadsStatus(kCatalogue[number - 1]) || seen[number]) {
            return false;
        }
        seen[number] = true;
    }
    std::size_t reading = 0;
    for (const CatalogueRow& row : kCatalogue) {
        reading += ReadsStatus(row) ? 1 : 0;
    }
    return reading == order.size();
}
static_assert(StatusOrderMatchesBindings(kStatusTestOrder));
// The guard refuses an order that names a row twice, an undriven row, a
// number outside the catalogue, or that leaves a row out.
template <std::size_t At, uint8_t Number>
constexpr auto kOrderWith = [] {
    auto order = kStatusTestOrder;
    order[At] = Number;
    return order;
}();
static_assert(!StatusOrderMatchesBindings(kOrderWith<1, 1>));
static_assert(!StatusOrderMatchesBindings(kOrderWith<0, 50>));
static_assert(!StatusOrderMatchesBindings(kOrderWith<0, 0>));
static_assert(!StatusOrderMatchesBindings(kOrderWith<0, 58>));
static_assert(!StatusOrderMatchesBindings(std::span(kStatusTestOrder).subspan(1)));

} // namespace

DrawerLetter CatalogueRow::Letter() const { return EndsWithCashB(drawerId) ? DrawerLetter::B : DrawerLetter::A; }

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
