#include "hardware/port_gpio.h"

#include "hardware/drawer_id.h"

#include <array>
#include <cstddef>

namespace cashdrawer {
namespace {

constexpr uint32_t kKickPulseMs8 = 0x200; // 512 ms drive pulse on every 8-bit profile

// 8-bit profiles. The RN340, RN2150 and KV8041N drawers share one wiring,
// RN170 and KV8041M another; KV2470 has its own and KV2790L a drawer A only.
// In the RN170/KV8041M rows the status bit reads 1 for status 1, elsewhere 0.
constexpr std::array kProfiles8 = {
    PortGpioProfileRow{"RN170_CashA",   {.outputPort = 0x50D, .driveBit = 0x40, .keepMask = 0xBF, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x538,  .statusMask = 0x10, .statusExpected = 0x10}},
    PortGpioProfileRow{"RN170_CashB",   {.outputPort = 0x50D, .driveBit = 0x01, .keepMask = 0xFE, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x50E,  .statusMask = 0x40, .statusExpected = 0x40}},
    PortGpioProfileRow{"RN340_CashA",   {.outputPort = 0x50E, .driveBit = 0x08, .keepMask = 0xF7, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x53A,  .statusMask = 0x04, .statusExpected = 0x00}},
    PortGpioProfileRow{"RN340_CashB",   {.outputPort = 0x50E, .driveBit = 0x20, .keepMask = 0xDF, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x53A,  .statusMask = 0x10, .statusExpected = 0x00}},
    PortGpioProfileRow{"KV2790L_CashA", {.outputPort = 0x802, .driveBit = 0x80, .keepMask = 0x7F, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x118C, .statusMask = 0x80, .statusExpected = 0x00}},
    PortGpioProfileRow{"RN2150_CashA",  {.outputPort = 0x50E, .driveBit = 0x08, .keepMask = 0xF7, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x53A,  .statusMask = 0x04, .statusExpected = 0x00}},
    PortGpioProfileRow{"RN2150_CashB",  {.outputPort = 0x50E, .driveBit = 0x20, .keepMask = 0xDF, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x53A,  .statusMask = 0x10, .statusExpected = 0x00}},
    PortGpioProfileRow{"KV8041N_CashA", {.outputPort = 0x50E, .driveBit = 0x08, .keepMask = 0xF7, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x53A,  .statusMask = 0x04, .statusExpected = 0x00}},
    PortGpioProfileRow{"KV8041N_CashB", {.outputPort = 0x50E, .driveBit = 0x20, .keepMask = 0xDF, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x53A,  .statusMask = 0x10, .statusExpected = 0x00}},
    PortGpioProfileRow{"KV8041M_CashA", {.outputPort = 0x50D, .driveBit = 0x40, .keepMask = 0xBF, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x538,  .statusMask = 0x10, .statusExpected = 0x10}},
    PortGpioProfileRow{"KV8041M_CashB", {.outputPort = 0x50D, .driveBit = 0x01, .keepMask = 0xFE, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x50E,  .statusMask = 0x40, .statusExpected = 0x40}},
    PortGpioProfileRow{"KV2470_CashA",  {.outputPort = 0x50C, .driveBit = 0x80, .keepMask = 0x7F, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x548,  .statusMask = 0x80, .statusExpected = 0x00}},
    PortGpioProfileRow{"KV2470_CashB",  {.outputPort = 0x50C, .driveBit = 0x40, .keepMask = 0xBF, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x548,  .statusMask = 0x40, .statusExpected = 0x00}},
};
static_assert(kProfiles8.size() == 13);

// 32-bit profiles: one double-word register at 0x5A8 carries both drive lines
// (bits 0 and 1) and both sense lines (bits 6 and 7); 0x80 is its rest value.
// Pulse length is fixed by the kick itself, so pulseMs is unused here.
constexpr std::array kProfiles32 = {
    PortGpioProfileRow{"RN370_CashA", {.outputPort = 0x5A8, .driveBit = 0x01, .keepMask = 0x80, .polarity = 0, .pulseMs = 0, .statusPort = 0x5A8, .statusMask = 0x40, .statusExpected = 0x00}},
    PortGpioProfileRow{"RN370_CashB", {.outputPort = 0x5A8, .driveBit = 0x02, .keepMask = 0x80, .polarity = 0, .pulseMs = 0, .statusPort = 0x5A8, .statusMask = 0x80, .statusExpected = 0x00}},
};
static_assert(kProfiles32.size() == 2);

// The GPIO chip behind the 8-bit profiles is unlocked by a key byte on its
// index port 0x250, configured through register/value pairs on 0x251/0x252,
// and locked again with 0xAA.
struct PortWrite {
    uint16_t port;
    uint8_t value;
};
constexpr std::array kGpioChipSetUp = {
    PortWrite{0x250, 0x89}, // unlock key
    PortWrite{0x251, 0x09}, PortWrite{0x252, 0x0C},
    PortWrite{0x251, 0x04}, PortWrite{0x252, 0x00},
    PortWrite{0x251, 0x23}, PortWrite{0x252, 0x9E},
    PortWrite{0x250, 0xAA}, // lock
};

constexpr uint32_t kKickStepMs32 = 50; // each phase of the 32-bit kick

const PortGpioProfile* FindProfile(std::span<const PortGpioProfileRow> table, const char* drawerId) {
    for (const PortGpioProfileRow& row : table) {
        if (SameDrawerId(drawerId, row.drawerId)) {
            return &row.profile;
        }
    }
    return nullptr;
}

uint16_t PortOf(uint32_t field) { return static_cast<uint16_t>(field); }

} // namespace

std::span<const PortGpioProfileRow> PortGpioProfiles8() { return kProfiles8; }
std::span<const PortGpioProfileRow> PortGpioProfiles32() { return kProfiles32; }

bool PortGpioDrawers::SelectProfile8(const char* drawerId) {
    const PortGpioProfile* profile = FindProfile(kProfiles8, drawerId);
    if (profile == nullptr) {
        return false;
    }
    state_.selectedProfile = *profile;
    if (!state_.gpioChipReady) {
        SetUpGpioChip();
    }
    return true;
}

bool PortGpioDrawers::SelectProfile32(const char* drawerId) {
    const PortGpioProfile* profile = FindProfile(kProfiles32, drawerId);
    if (profile == nullptr) {
        return false;
    }
    state_.selectedProfile = *profile;
    return true;
}

void PortGpioDrawers::SetUpGpioChip() {
    for (const PortWrite& step : kGpioChipSetUp) {
        io_.Write(step.port, step.value, PortWidth::Byte);
    }
    state_.gpioChipReady = true;
}

void PortGpioDrawers::KickProfileDrawer8(const char* drawerId) {
    if (!SelectProfile8(drawerId)) {
        return;
    }
    const PortGpioProfile& p = state_.selectedProfile;
    const uint16_t port = PortOf(p.outputPort);
    // Read once; every bit but the drive bit is written back as read.
    const uint32_t kept = io_.Read(port, PortWidth::Byte) & p.keepMask;
    const uint32_t rest = p.polarity == 0 ? (kept | p.driveBit) : (kept & ~p.driveBit);
    const uint32_t pulse = p.polarity == 0 ? (kept & ~p.driveBit) : (kept | p.driveBit);
    io_.Write(port, rest, PortWidth::Byte);
    io_.Write(port, pulse, PortWidth::Byte);
    clock_.SleepMs(p.pulseMs);
    io_.Write(port, rest, PortWidth::Byte);
}

int PortGpioDrawers::ReadProfileStatus8(const char* drawerId) {
    return SelectProfile8(drawerId) ? StatusOfSelected(PortWidth::Byte) : 0;
}

void PortGpioDrawers::KickProfileDrawer32(const char* drawerId) {
    if (!SelectProfile32(drawerId)) {
        return;
    }
    const PortGpioProfile& p = state_.selectedProfile;
    const uint16_t port = PortOf(p.outputPort);
    io_.Write(port, p.keepMask, PortWidth::DWord);
    clock_.SleepMs(kKickStepMs32);
    io_.Write(port, p.keepMask | p.driveBit, PortWidth::DWord);
    clock_.SleepMs(kKickStepMs32);
    io_.Write(port, p.keepMask, PortWidth::DWord);
}

int PortGpioDrawers::ReadProfileStatus32(const char* drawerId) {
    return SelectProfile32(drawerId) ? StatusOfSelected(PortWidth::DWord) : 0;
}

int PortGpioDrawers::StatusOfSelected(PortWidth width) {
    const PortGpioProfile& p = state_.selectedProfile;
    const uint32_t value = io_.Read(PortOf(p.statusPort), width);
    return (value & p.statusMask) == p.statusExpected ? 1 : 0;
}

} // namespace cashdrawer
