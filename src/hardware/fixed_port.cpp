#include "hardware/fixed_port.h"

#include <initializer_list>

namespace cashdrawer {
namespace {

constexpr uint32_t kStepMs = 10;

// KV7820, KV7100 and KV4980: the kick port rests at 0xFF; the pulse byte
// pulls one line low.
constexpr uint8_t kPulsePortRest = 0xFF;

// KV9360: a one-time enable on 0x486, sense on 0x48D.
constexpr uint16_t kSetUpPort = 0x486;
constexpr uint8_t kSetUpValue = 0xC5;
constexpr uint16_t kMaskedSensePort = 0x48D;

struct MaskedPulseLine {
    uint8_t driveMask;
    uint32_t stepMs;
    // Drawer A's line also settles before and after the port is read.
    bool settleAroundRead;
};

constexpr MaskedPulseLine kMaskedLines[] = {
    /* A */ {.driveMask = 0x20, .stepMs = 30, .settleAroundRead = true},
    /* B */ {.driveMask = 0x08, .stepMs = 10, .settleAroundRead = false},
};

const MaskedPulseLine& LineOf(DrawerLetter drawer) { return kMaskedLines[drawer == DrawerLetter::A ? 0 : 1]; }

} // namespace

uint8_t MaskedPulseDriveMask(DrawerLetter drawer) { return LineOf(drawer).driveMask; }

void FixedPortDrawers::EnsurePort486SetUp() {
    if (state_.port486SetupCount == 0) {
        WriteByte(kSetUpPort, kSetUpValue);
        ++state_.port486SetupCount;
    }
}

// The port is written whole: bits other than the pulsed one are written 1.
void FixedPortDrawers::KickPortPulse(uint16_t port, uint8_t pulse, uint32_t trailingPauseMs) {
    WriteByte(port, kPulsePortRest);
    clock_.SleepMs(kStepMs);
    WriteByte(port, pulse);
    clock_.SleepMs(kStepMs);
    WriteByte(port, kPulsePortRest);
    if (trailingPauseMs != 0) {
        clock_.SleepMs(trailingPauseMs);
    }
}

// Each write is read back after the line has settled; the bytes read serve
// no decision.
void FixedPortDrawers::KickPortPulseReadBack(uint8_t pulse) {
    for (uint8_t value : {kReadBackRest, pulse, kReadBackRest}) {
        WriteByte(kReadBackPort, value);
        clock_.SleepMs(kStepMs);
        static_cast<void>(ReadByte(kReadBackPort));
    }
}

// Pulls the drawer's line low and restores the port as it was read.
void FixedPortDrawers::KickPortMaskedPulse(DrawerLetter drawer) {
    const MaskedPulseLine& line = LineOf(drawer);
    EnsurePort486SetUp();
    if (line.settleAroundRead) {
        clock_.SleepMs(line.stepMs);
    }
    const uint8_t lines = ReadByte(kMaskedDrivePort);
    if (line.settleAroundRead) {
        clock_.SleepMs(line.stepMs);
    }
    WriteByte(kMaskedDrivePort, lines);
    clock_.SleepMs(line.stepMs);
    WriteByte(kMaskedDrivePort, lines & static_cast<uint8_t>(~line.driveMask));
    clock_.SleepMs(line.stepMs);
    static_cast<void>(ReadByte(kMaskedSensePort)); // read for its timing on the bus; the value serves nothing
    clock_.SleepMs(line.stepMs);
    WriteByte(kMaskedDrivePort, lines);
}

Result FixedPortDrawers::ReadPortStatus(uint16_t port, uint8_t senseMask, bool port486SetUp) {
    if (port486SetUp) {
        EnsurePort486SetUp();
    }
    return StateOf((ReadByte(port) & senseMask) == 0);
}

} // namespace cashdrawer
