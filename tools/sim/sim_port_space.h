// A simulated x86 I/O port space standing in for the port I/O library.
//
// Byte-addressed like the real one: a double-word access at port P covers
// ports P to P+3, little-endian. A port reads back what was last written to
// it, or what the test set; a port nobody set reads 0xFF, as an undriven ISA
// bus does. Every call is logged with the clock's time.
#pragma once

#include "hardware/port_io.h"
#include "platform/clock.h"
#include "sim/access_log.h"

#include <array>
#include <cstdint>

namespace cashdrawer::sim {

class SimPortSpace final : public PortIo {
public:
    SimPortSpace(Clock& clock, AccessLog& log) : clock_(clock), log_(log) { bytes_.fill(0xFF); }

    // What Initialize reports from now on. LibraryMissing logs nothing, as
    // no library function would be called.
    void SetStart(PortIoStart start) { start_ = start; }
    // Sets the port's content without logging an access.
    void Poke(uint16_t port, uint32_t value, PortWidth width);
    uint32_t Peek(uint16_t port, PortWidth width) const;

    PortIoStart Initialize() override;
    void Shutdown() override;
    uint32_t Read(uint16_t port, PortWidth width) override;
    void Write(uint16_t port, uint32_t value, PortWidth width) override;

private:
    void Log(AccessOp op, uint16_t port, PortWidth width, uint32_t value);

    Clock& clock_;
    AccessLog& log_;
    PortIoStart start_ = PortIoStart::Ready;
    std::array<uint8_t, 0x10000> bytes_{};
};

} // namespace cashdrawer::sim
