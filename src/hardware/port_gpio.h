// Drawers wired to one bit of a general-purpose I/O register in the x86 port
// space, driven from a table of port GPIO profiles.
//
// Two families: the 8-bit profiles (byte-wide accesses, behind a GPIO chip
// that needs a one-time set-up) and the 32-bit profiles of the RN370 board
// (double-word accesses). Every access runs inside the caller's port I/O
// bracket; nothing here initialises or shuts down the port I/O library.
#pragma once

#include "hardware/port_io.h"
#include "platform/clock.h"

#include <cstdint>
#include <span>

namespace cashdrawer {

struct PortGpioProfile {
    uint32_t outputPort;     // port that carries the drive bit
    uint32_t driveBit;       // the drawer's drive line within the output port
    uint32_t keepMask;       // 8-bit: AND mask kept from the port's byte; 32-bit: rest value
    uint32_t polarity;       // 0: drive bit rests set and the pulse clears it
    uint32_t pulseMs;        // 8-bit kick pulse length
    uint32_t statusPort;     // port read for the drawer state
    uint32_t statusMask;     // bits of the status port that carry the state
    uint32_t statusExpected; // masked value that reads as status 1

    friend bool operator==(const PortGpioProfile&, const PortGpioProfile&) = default;
};

struct PortGpioProfileRow {
    const char* drawerId;
    PortGpioProfile profile;
};

std::span<const PortGpioProfileRow> PortGpioProfiles8();
std::span<const PortGpioProfileRow> PortGpioProfiles32();

// Process-wide state of the port GPIO method.
struct PortGpioState {
    PortGpioProfile selectedProfile{};
    // Set once the GPIO chip set-up has been written; never cleared.
    bool gpioChipReady = false;
};

class PortGpioDrawers {
public:
    PortGpioDrawers(PortIo& io, Clock& clock, PortGpioState& state) : io_(io), clock_(clock), state_(state) {}

    // Select the identifier's profile. An identifier outside the family's
    // table changes nothing, touches no port and yields false.
    bool SelectProfile8(const char* drawerId);
    bool SelectProfile32(const char* drawerId);

    // Kicks do nothing, and status reads yield 0, for an identifier outside
    // the family's table.
    void KickProfileDrawer8(const char* drawerId);
    int ReadProfileStatus8(const char* drawerId);
    void KickProfileDrawer32(const char* drawerId);
    int ReadProfileStatus32(const char* drawerId);

private:
    void SetUpGpioChip();
    int StatusOfSelected(PortWidth width);

    PortIo& io_;
    Clock& clock_;
    PortGpioState& state_;
};

} // namespace cashdrawer
