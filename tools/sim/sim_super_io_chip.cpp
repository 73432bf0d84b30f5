#include "sim/sim_super_io_chip.h"

namespace cashdrawer::sim {
namespace {
constexpr uint8_t kEntryKey = 0x87;
constexpr uint8_t kExitKey = 0xAA;
constexpr uint8_t kRegLogicalDevice = 0x07;
constexpr uint8_t kGpioDevice = 0x07;
constexpr uint8_t kRegGpioData = 0xF1;
} // namespace

uint8_t& SimSuperIoChip::Slot(uint8_t logicalDevice, uint8_t reg) {
    return reg < global_.size() ? global_[reg] : devices_[logicalDevice & 0x0F][reg];
}

uint8_t SimSuperIoChip::Register(uint8_t logicalDevice, uint8_t reg) const {
    return reg < global_.size() ? global_[reg] : devices_[logicalDevice & 0x0F][reg];
}

void SimSuperIoChip::SetRegister(uint8_t logicalDevice, uint8_t reg, uint8_t value) { Slot(logicalDevice, reg) = value; }

uint8_t SimSuperIoChip::ReadByte(uint16_t port) {
    if (port != kDataPort || !configMode_) {
        return 0xFF;
    }
    if (index_ == kRegLogicalDevice) {
        return logicalDevice_;
    }
    if (logicalDevice_ == kGpioDevice && index_ == kRegGpioData && gpioPins_) {
        return *gpioPins_;
    }
    return Slot(logicalDevice_, index_);
}

void SimSuperIoChip::WriteByte(uint16_t port, uint8_t value) {
    if (port == kIndexPort) {
        if (!configMode_) {
            // Only two entry keys in a row open the chip.
            configMode_ = firstKeySeen_ && value == kEntryKey;
            firstKeySeen_ = !configMode_ && value == kEntryKey;
        } else if (value == kExitKey) {
            configMode_ = false;
            firstKeySeen_ = false;
        } else {
            index_ = value;
        }
        return;
    }
    if (!configMode_) {
        return;
    }
    if (index_ == kRegLogicalDevice) {
        logicalDevice_ = value;
    } else {
        Slot(logicalDevice_, index_) = value;
    }
}

} // namespace cashdrawer::sim
