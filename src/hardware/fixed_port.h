// Drawers whose kick and sense lines sit at fixed I/O ports written and
// read directly (KV4980, KV7820, KV7100, KV9320, KV9360). Runs inside the
// caller's port I/O bracket; every access is byte-wide.
#pragma once

#include "hardware/drawer_id.h"
#include "hardware/port_io.h"
#include "hardware/result.h"
#include "platform/clock.h"

#include <cstdint>

namespace cashdrawer {

// KV9320: kick and sense share port 0x40B9, which rests at 0xFE (bit 0 low).
inline constexpr uint16_t kReadBackPort = 0x40B9;
inline constexpr uint8_t kReadBackRest = 0xFE;
// KV9360: drive lines on port 0x48E.
inline constexpr uint16_t kMaskedDrivePort = 0x48E;
uint8_t MaskedPulseDriveMask(DrawerLetter drawer);

struct FixedPortState {
    // Port 0x486 is written once per process, before the first KV9360
    // operation of either kind.
    uint32_t port486SetupCount = 0;
};

class FixedPortDrawers {
public:
    FixedPortDrawers(PortIo& io, Clock& clock, FixedPortState& state) : io_(io), clock_(clock), state_(state) {}

    void EnsurePort486SetUp();
    void KickPortPulse(uint16_t port, uint8_t pulse, uint32_t trailingPauseMs);
    void KickPortPulseReadBack(uint8_t pulse);
    void KickPortMaskedPulse(DrawerLetter drawer);
    // StateBit1 when the sense bit reads 0, else StateBit0.
    Result ReadPortStatus(uint16_t port, uint8_t senseMask, bool port486SetUp);

private:
    uint8_t ReadByte(uint16_t port) { return static_cast<uint8_t>(io_.Read(port, PortWidth::Byte)); }
    void WriteByte(uint16_t port, uint32_t value) { io_.Write(port, value, PortWidth::Byte); }

    PortIo& io_;
    Clock& clock_;
    FixedPortState& state_;
};

} // namespace cashdrawer
