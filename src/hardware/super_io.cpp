#include "hardware/super_io.h"

namespace cashdrawer {
namespace {

constexpr uint16_t kIndexPort = kDrawerChip.indexPort;
constexpr uint16_t kDataPort = kDrawerChip.dataPort;
constexpr uint8_t kGpioDevice = kDrawerChip.gpioDevice;

constexpr uint8_t kRegPinFunction = 0x2A;   // multi-function pin select
constexpr uint8_t kRegGpioMode = 0xF0;      // GPIO mode of the drawer pins
constexpr uint8_t kRegGpioData = kSuperIoDrawerRegister; // drive bits 0-1, sense bits 2-3

constexpr uint8_t kPinsAsGpio = 0xFC;       // pin function and GPIO mode while we work
constexpr uint8_t kPinFunctionReleased = 0x2E;
constexpr uint8_t kGpioModeReleased = 0xFF;
constexpr uint8_t kAllLinesHigh = 0xFF;

constexpr uint32_t kSettleMs = 10;

constexpr uint8_t kSenseMaskA = 0x04;
constexpr uint8_t kSenseMaskB = 0x08;

Result StatusOf(uint8_t value, uint8_t senseMask) { return StateOf((value & senseMask) == 0); }

} // namespace

void SuperIoDrawers::EnterSuperIoConfig() {
    for (int key = 0; key < 2; ++key) {
        io_.Write(kIndexPort, kDrawerChip.entryKey, PortWidth::Byte);
        clock_.SleepMs(kDrawerChip.entryKeyPauseMs);
    }
}

void SuperIoDrawers::WriteSuperIoRegister(uint8_t reg, uint8_t value) {
    io_.Write(kIndexPort, reg, PortWidth::Byte);
    WriteDataPort(value);
}

uint8_t SuperIoDrawers::ReadSuperIoRegister(uint8_t reg) {
    io_.Write(kIndexPort, reg, PortWidth::Byte);
    return ReadDataPort();
}

void SuperIoDrawers::SelectLogicalDevice(uint8_t device) {
    WriteSuperIoRegister(kDrawerChip.logicalDeviceRegister, device);
}

void SuperIoDrawers::ExitSuperIoConfig() { io_.Write(kIndexPort, kDrawerChip.exitKey, PortWidth::Byte); }

uint8_t SuperIoDrawers::ReadDataPort() { return static_cast<uint8_t>(io_.Read(kDataPort, PortWidth::Byte)); }

void SuperIoDrawers::WriteDataPort(uint8_t value) { io_.Write(kDataPort, value, PortWidth::Byte); }

// Latch the drawer pins as GPIO before reading them: mode and data are read
// (and discarded), all lines are written high, and the mode register set.
void SuperIoDrawers::PrepareGpioForRead() {
    ReadSuperIoRegister(kRegGpioMode);
    ReadSuperIoRegister(kRegGpioData);
    WriteSuperIoRegister(kRegGpioData, kAllLinesHigh);
    ReadSuperIoRegister(kRegGpioData);
    WriteSuperIoRegister(kRegGpioMode, kPinsAsGpio);
}

// The pulse kick and the direct read let the device select settle before
// they switch the pin function.
void SuperIoDrawers::SelectGpioDeviceSettled() {
    SelectLogicalDevice(kGpioDevice);
    clock_.SleepMs(kSettleMs);
    WriteSuperIoRegister(kRegPinFunction, kPinsAsGpio);
}

void SuperIoDrawers::KickSuperIoToggle(uint8_t driveMask) {
    ConfigModeScope mode(*this);
    // Here the pin function comes before the device select.
    WriteSuperIoRegister(kRegPinFunction, kPinsAsGpio);
    SelectLogicalDevice(kGpioDevice);
    PrepareGpioForRead();
    const uint8_t lines = ReadSuperIoRegister(kRegGpioData);

    // Invert the drive line and put it straight back: the edge pair is the
    // kick. The other seven lines are written as read.
    WriteSuperIoRegister(kRegGpioData, lines ^ driveMask);
    WriteSuperIoRegister(kRegGpioData, lines);

    // Release: enter again (no exit before it), device select first this time.
    EnterSuperIoConfig();
    SelectLogicalDevice(kGpioDevice);
    WriteSuperIoRegister(kRegPinFunction, kPinFunctionReleased);
    WriteSuperIoRegister(kRegGpioMode, kGpioModeReleased);
    // The lines end as the board's firmware leaves them at power-up.
    WriteSuperIoRegister(kRegGpioData, 0xCF);
    WriteSuperIoRegister(kRegGpioData, 0x00);
}

void SuperIoDrawers::KickSuperIoPulse(uint8_t driveMask) {
    ConfigModeScope mode(*this);
    SelectGpioDeviceSettled();
    const uint8_t lines = ReadSuperIoRegister(kRegGpioData);
    const uint8_t rest = lines & static_cast<uint8_t>(~driveMask);
    // The data register stays selected: no index write before these two.
    WriteDataPort(rest | driveMask);
    clock_.SleepMs(kSettleMs);
    WriteDataPort(rest);
}

uint8_t SuperIoDrawers::ReadPreparedLines(DrawerLetter drawer) {
    ConfigModeScope mode(*this);
    SelectLogicalDevice(kGpioDevice);
    WriteSuperIoRegister(kRegPinFunction, kPinsAsGpio);
    PrepareGpioForRead();
    io_.Write(kIndexPort, kRegGpioData, PortWidth::Byte);
    clock_.SleepMs(kSettleMs);
    const uint8_t lines = ReadDataPort();
    clock_.SleepMs(kSettleMs);
    if (drawer == DrawerLetter::A) {
        clock_.SleepMs(kSettleMs); // drawer A's line settles 10 ms longer
    }
    return lines;
}

Result SuperIoDrawers::ReadSuperIoStatusPrepared(DrawerLetter drawer) {
    const uint8_t lines = ReadPreparedLines(drawer);
    clock_.SleepMs(kSettleMs); // once out of configuration mode
    return StatusOf(lines, drawer == DrawerLetter::A ? kSenseMaskA : kSenseMaskB);
}

Result SuperIoDrawers::ReadSuperIoStatusDirect(uint8_t senseMask) {
    ConfigModeScope mode(*this);
    SelectGpioDeviceSettled();
    return StatusOf(ReadSuperIoRegister(kRegGpioData), senseMask);
}

} // namespace cashdrawer
