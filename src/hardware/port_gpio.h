// Drawers wired to one bit of a general-purpose I/O register in the x86 port
// space, driven from a table of port GPIO profiles.
//
// Two families: the 8-bit profiles (byte-wide accesses, behind a GPIO chip
// that needs a one-time set-up) and the 32-bit profiles of the RN370 board
// (double-word accesses). Every access runs inside the caller's port I/O
// bracket; nothing here initialises or shuts down the port I/O library.
#pragma once

#include "hardware/port_io.h"
#include "hardware/result.h"
#include "platform/clock.h"

#include <cstdint>

namespace cashdrawer {

struct PortGpioProfile {
    uint32_t outputPort;     // port that carries the drive bit
    uint32_t driveBit;       // the drawer's drive line within the output port
    uint32_t keepMask;       // 8-bit: AND mask kept from the port's byte; 32-bit: rest value
    uint32_t polarity;       // 0: drive bit rests set and the pulse clears it; 1: the reverse
    uint32_t pulseMs;        // how long the pulse holds the drive line
    uint32_t statusPort;     // port read for the drawer state
    uint32_t statusMask;     // bits of the status port that carry the state
    uint32_t statusExpected; // masked value that reads as status 1

    friend bool operator==(const PortGpioProfile&, const PortGpioProfile&) = default;
};

// The wirings, each named once; the catalogue binds every drawer to its own.
//
// 8-bit: the RN340, RN2150 and KV8041N drawers share one wiring, RN170 and
// KV8041M another; KV2470 has its own and KV2790L a drawer A only. On the
// RN170 wiring the status bit reads 1 for status 1, elsewhere 0. Every
// 8-bit kick drives its line for 512 ms.
inline constexpr uint32_t kKickPulseMs8 = 0x200;
inline constexpr PortGpioProfile kRn170WiringA{.outputPort = 0x50D, .driveBit = 0x40, .keepMask = 0xBF, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x538,  .statusMask = 0x10, .statusExpected = 0x10};
inline constexpr PortGpioProfile kRn170WiringB{.outputPort = 0x50D, .driveBit = 0x01, .keepMask = 0xFE, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x50E,  .statusMask = 0x40, .statusExpected = 0x40};
inline constexpr PortGpioProfile kRn340WiringA{.outputPort = 0x50E, .driveBit = 0x08, .keepMask = 0xF7, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x53A,  .statusMask = 0x04, .statusExpected = 0x00};
inline constexpr PortGpioProfile kRn340WiringB{.outputPort = 0x50E, .driveBit = 0x20, .keepMask = 0xDF, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x53A,  .statusMask = 0x10, .statusExpected = 0x00};
inline constexpr PortGpioProfile kKv2790lWiringA{.outputPort = 0x802, .driveBit = 0x80, .keepMask = 0x7F, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x118C, .statusMask = 0x80, .statusExpected = 0x00};
inline constexpr PortGpioProfile kKv2470WiringA{.outputPort = 0x50C, .driveBit = 0x80, .keepMask = 0x7F, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x548,  .statusMask = 0x80, .statusExpected = 0x00};
inline constexpr PortGpioProfile kKv2470WiringB{.outputPort = 0x50C, .driveBit = 0x40, .keepMask = 0xBF, .polarity = 0, .pulseMs = kKickPulseMs8, .statusPort = 0x548,  .statusMask = 0x40, .statusExpected = 0x00};

// 32-bit: the RN370 board's one double-word register at 0x5A8 carries both
// drive lines (bits 0 and 1) and both sense lines (bits 6 and 7); 0x80 is
// its rest value. Every model wired like the RN370 uses these two: the drive
// line rests low and the pulse raises it for 50 ms.
inline constexpr PortGpioProfile kRn370WiringA{.outputPort = 0x5A8, .driveBit = 0x01, .keepMask = 0x80, .polarity = 1, .pulseMs = 50, .statusPort = 0x5A8, .statusMask = 0x40, .statusExpected = 0x00};
inline constexpr PortGpioProfile kRn370WiringB{.outputPort = 0x5A8, .driveBit = 0x02, .keepMask = 0x80, .polarity = 1, .pulseMs = 50, .statusPort = 0x5A8, .statusMask = 0x80, .statusExpected = 0x00};

// Process-wide state of the port GPIO method.
struct PortGpioState {
    PortGpioProfile selectedProfile{};
    // Set once the GPIO chip set-up has been written; never cleared.
    bool gpioChipReady = false;
};

class PortGpioDrawers {
public:
    PortGpioDrawers(PortIo& io, Clock& clock, PortGpioState& state) : io_(io), clock_(clock), state_(state) {}

    // Each operation selects its drawer's profile afresh; the 8-bit family
    // writes the GPIO chip set-up before its first access of the process.
    void KickProfileDrawer8(const PortGpioProfile& profile);
    Result ReadProfileStatus8(const PortGpioProfile& profile);
    void KickProfileDrawer32(const PortGpioProfile& profile);
    Result ReadProfileStatus32(const PortGpioProfile& profile);

private:
    void SelectProfile8(const PortGpioProfile& profile);
    void SetUpGpioChip();
    Result StatusOfSelected(PortWidth width);

    PortIo& io_;
    Clock& clock_;
    PortGpioState& state_;
};

} // namespace cashdrawer
