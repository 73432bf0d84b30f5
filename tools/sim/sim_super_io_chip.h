// A Super I/O chip on the simulated bus, at index/data ports 0x2E/0x2F.
//
// Like the real part it answers only in configuration mode: 0x87 written
// twice in a row to the index port enters it, 0xAA leaves it. Outside it,
// data-port writes are ignored and reads float at 0xFF - so a sequence that
// forgets to enter or leaves too early reads the wrong drawer state, not
// just a different trace. Registers below 0x30 are global; the others
// belong to the logical device selected through register 0x07.
#pragma once

#include "sim/sim_port_space.h"

#include <array>
#include <cstdint>
#include <optional>

namespace cashdrawer::sim {

class SimSuperIoChip final : public PortDevice {
public:
    static constexpr uint16_t kIndexPort = 0x2E;
    static constexpr uint16_t kDataPort = 0x2F;

    // What the GPIO pins of register 0xF1 (logical device 7) read, whatever
    // was written to them; unset, the register reads back what was written.
    void SetGpioPins(std::optional<uint8_t> pins) { gpioPins_ = pins; }
    uint8_t Register(uint8_t logicalDevice, uint8_t reg) const;
    void SetRegister(uint8_t logicalDevice, uint8_t reg, uint8_t value);
    bool InConfigMode() const { return configMode_; }

    bool Decodes(uint16_t port) const override { return port == kIndexPort || port == kDataPort; }
    uint8_t ReadByte(uint16_t port) override;
    void WriteByte(uint16_t port, uint8_t value) override;

private:
    uint8_t& Slot(uint8_t logicalDevice, uint8_t reg);

    bool configMode_ = false;
    bool firstKeySeen_ = false;
    uint8_t index_ = 0;
    uint8_t logicalDevice_ = 0;
    std::optional<uint8_t> gpioPins_;
    std::array<uint8_t, 0x30> global_{};
    std::array<std::array<uint8_t, 0x100>, 0x10> devices_{};
};

} // namespace cashdrawer::sim
