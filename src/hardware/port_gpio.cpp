#include "hardware/port_gpio.h"

#include <array>

namespace cashdrawer {
namespace {

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

constexpr uint32_t kRestBeforePulseMs32 = 50; // the 32-bit register settles at rest first

uint16_t PortOf(uint32_t field) { return static_cast<uint16_t>(field); }

// The output word at rest and during the pulse, from the bits kept. The
// drive bit is always set or cleared here, so whether a keep mask holds the
// drive bit itself changes nothing on the wire.
struct DriveLevels {
    uint32_t rest;
    uint32_t pulse;
};
DriveLevels LevelsOf(const PortGpioProfile& p, uint32_t kept) {
    const uint32_t high = kept | p.driveBit;
    const uint32_t low = kept & ~p.driveBit;
    return p.polarity == 0 ? DriveLevels{high, low} : DriveLevels{low, high};
}

} // namespace

void PortGpioDrawers::SelectProfile8(const PortGpioProfile& profile) {
    state_.selectedProfile = profile;
    if (!state_.gpioChipReady) {
        SetUpGpioChip();
    }
}

void PortGpioDrawers::SetUpGpioChip() {
    for (const PortWrite& step : kGpioChipSetUp) {
        io_.Write(step.port, step.value, PortWidth::Byte);
    }
    state_.gpioChipReady = true;
}

void PortGpioDrawers::KickProfileDrawer8(const PortGpioProfile& profile) {
    SelectProfile8(profile);
    const PortGpioProfile& p = state_.selectedProfile;
    const uint16_t port = PortOf(p.outputPort);
    // Read once; every bit but the drive bit is written back as read.
    const DriveLevels levels = LevelsOf(p, io_.Read(port, PortWidth::Byte) & p.keepMask);
    io_.Write(port, levels.rest, PortWidth::Byte);
    io_.Write(port, levels.pulse, PortWidth::Byte);
    clock_.SleepMs(p.pulseMs);
    io_.Write(port, levels.rest, PortWidth::Byte);
}

Result PortGpioDrawers::ReadProfileStatus8(const PortGpioProfile& profile) {
    SelectProfile8(profile);
    return StatusOfSelected(PortWidth::Byte);
}

void PortGpioDrawers::KickProfileDrawer32(const PortGpioProfile& profile) {
    state_.selectedProfile = profile;
    const PortGpioProfile& p = state_.selectedProfile;
    const uint16_t port = PortOf(p.outputPort);
    // The whole register is written: its keep mask is its rest value.
    const DriveLevels levels = LevelsOf(p, p.keepMask);
    io_.Write(port, levels.rest, PortWidth::DWord);
    clock_.SleepMs(kRestBeforePulseMs32);
    io_.Write(port, levels.pulse, PortWidth::DWord);
    clock_.SleepMs(p.pulseMs);
    io_.Write(port, levels.rest, PortWidth::DWord);
}

Result PortGpioDrawers::ReadProfileStatus32(const PortGpioProfile& profile) {
    state_.selectedProfile = profile;
    return StatusOfSelected(PortWidth::DWord);
}

Result PortGpioDrawers::StatusOfSelected(PortWidth width) {
    const PortGpioProfile& p = state_.selectedProfile;
    const uint32_t value = io_.Read(PortOf(p.statusPort), width);
    return StateOf((value & p.statusMask) == p.statusExpected);
}

} // namespace cashdrawer
