// A simulated x86 I/O port space standing in for the port I/O library.
//
// Byte-addressed like the real one: a double-word access at port P covers
// ports P to P+3, little-endian. A port reads back what was last written to
// it, or what the test set; a port nobody set reads 0xFF, as an undriven ISA
// bus does. A device attached to the space answers byte accesses to the
// ports it decodes instead. Every call is logged with the clock's time; a
// read or write outside a bracket that opened (after Initialize answered
// Ok, before Shutdown) is marked kMisuse, as the real library would not
// have served it.
#pragma once

#include "hardware/port_io.h"
#include "platform/clock.h"
#include "sim/access_log.h"

#include <array>
#include <cstdint>

namespace cashdrawer::sim {

// A chip on the simulated bus that decodes some ports itself.
class PortDevice {
public:
    virtual ~PortDevice() = default;
    virtual bool Decodes(uint16_t port) const = 0;
    virtual uint8_t ReadByte(uint16_t port) = 0;
    virtual void WriteByte(uint16_t port, uint8_t value) = 0;
};

class SimPortSpace final : public PortIo {
public:
    SimPortSpace(Clock& clock, AccessLog& log) : clock_(clock), log_(log) { bytes_.fill(0xFF); }

    // What Initialize reports from now on. LibraryMissing logs nothing, as
    // no library function would be called.
    void SetStart(Result start) { start_ = start; }
    // Sets the port's content without logging an access.
    void Poke(uint16_t port, uint32_t value, PortWidth width);
    uint32_t Peek(uint16_t port, PortWidth width) const;
    // The device must outlive the port space.
    void Attach(PortDevice& device) { device_ = &device; }

    Result Initialize() override;
    void Shutdown() override;
    uint32_t Read(uint16_t port, PortWidth width) override;
    void Write(uint16_t port, uint32_t value, PortWidth width) override;
    std::string Diagnosis() const override;

private:
    void Log(AccessOp op, uint16_t port, PortWidth width, uint32_t value, uint32_t mark = 0);
    uint32_t BracketMark() const { return bracketOpen_ ? 0 : kMisuse; }

    Clock& clock_;
    AccessLog& log_;
    PortDevice* DeviceFor(uint16_t port, PortWidth width) const;

    Result start_ = Result::Ok;
    bool bracketOpen_ = false;
    PortDevice* device_ = nullptr;
    std::array<uint8_t, 0x10000> bytes_{};
};

} // namespace cashdrawer::sim
