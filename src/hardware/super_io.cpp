#include "hardware/super_io.h"

namespace cashdrawer {
namespace {

constexpr uint16_t kIndexPort = kSuperIoIndexPort;
constexpr uint16_t kDataPort = kSuperIoDataPort;

constexpr uint8_t kEntryKey = 0x87; // written twice to the index port
constexpr uint8_t kExitKey = 0xAA;  // written once to the index port
constexpr uint32_t kEntryKeyMs = 10; // the chip needs time after each key byte

constexpr uint8_t kRegLogicalDevice = 0x07; // logical device select
constexpr uint8_t kRegPinFunction = 0x2A;   // multi-function pin select
constexpr uint8_t kRegGpioMode = 0xF0;      // GPIO mode of the drawer pins
constexpr uint8_t kRegGpioData = kSuperIoDrawerRegister; // drive bits 0-1, sense bits 2-3

constexpr uint8_t kGpioDevice = 0x07;       // logical device 7: the GPIO block
constexpr uint8_t kPinsAsGpio = 0xFC;       // pin function and GPIO mode while we work
constexpr uint8_t kPinFunctionReleased = 0x2E;
constexpr uint8_t kGpioModeReleased = 0xFF;
constexpr uint8_t kAllLinesHigh = 0xFF;

constexpr uint32_t kSettleMs = 10;

constexpr uint8_t kSenseMaskA = 0x04;
constexpr uint8_t kSenseMaskB = 0x08;

int StatusOf(uint8_t value, uint8_t senseMask) { return (value & senseMask) == 0 ? 1 : 0; }

} // namespace

void SuperIoDrawers::EnterSuperIoConfig() {
    io_.Write(kIndexPort, kEntryKey, PortWidth::Byte);
    clock_.SleepMs(kEntryKeyMs);
    io_.Write(kIndexPort, kEntryKey, PortWidth::Byte);
    clock_.SleepMs(kEntryKeyMs);
}

void SuperIoDrawers::WriteSuperIoRegister(uint8_t reg, uint8_t value) {
    io_.Write(kIndexPort, reg, PortWidth::Byte);
    WriteDataPort(value);
}

uint8_t SuperIoDrawers::ReadSuperIoRegister(uint8_t reg) {
    io_.Write(kIndexPort, reg, PortWidth::Byte);
    return ReadDataPort();
}

void SuperIoDrawers::ExitSuperIoConfig() { io_.Write(kIndexPort, kExitKey, PortWidth::Byte); }

uint8_t SuperIoDrawers::ReadDataPort() {
    portScratch_ = io_.Read(kDataPort, PortWidth::Byte);
    return static_cast<uint8_t>(portScratch_);
}

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
    WriteSuperIoRegister(kRegLogicalDevice, kGpioDevice);
    clock_.SleepMs(kSettleMs);
    WriteSuperIoRegister(kRegPinFunction, kPinsAsGpio);
}

void SuperIoDrawers::KickSuperIoToggle(uint8_t driveMask) {
    BusClaim claim(busLock_);
    EnterSuperIoConfig();
    // Here the pin function comes before the device select.
    WriteSuperIoRegister(kRegPinFunction, kPinsAsGpio);
    WriteSuperIoRegister(kRegLogicalDevice, kGpioDevice);
    PrepareGpioForRead();
    const uint8_t lines = ReadSuperIoRegister(kRegGpioData);

    // Invert the drive line and put it straight back: the edge pair is the
    // kick. The other seven lines are written as read.
    WriteSuperIoRegister(kRegGpioData, lines ^ driveMask);
    WriteSuperIoRegister(kRegGpioData, lines);

    // Release: enter again (no exit before it), device select first this time.
    EnterSuperIoConfig();
    WriteSuperIoRegister(kRegLogicalDevice, kGpioDevice);
    WriteSuperIoRegister(kRegPinFunction, kPinFunctionReleased);
    WriteSuperIoRegister(kRegGpioMode, kGpioModeReleased);
    // The lines end as the board's firmware leaves them at power-up.
    WriteSuperIoRegister(kRegGpioData, 0xCF);
    WriteSuperIoRegister(kRegGpioData, 0x00);
    ExitSuperIoConfig();
}

void SuperIoDrawers::KickSuperIoPulse(uint8_t driveMask) {
    BusClaim claim(busLock_);
    EnterSuperIoConfig();
    SelectGpioDeviceSettled();
    const uint8_t lines = ReadSuperIoRegister(kRegGpioData);
    const uint8_t rest = lines & static_cast<uint8_t>(~driveMask);
    // The data register stays selected: no index write before these two.
    WriteDataPort(rest | driveMask);
    clock_.SleepMs(kSettleMs);
    WriteDataPort(rest);
    ExitSuperIoConfig();
}

int SuperIoDrawers::ReadSuperIoStatusPrepared(DrawerLetter drawer) {
    uint8_t lines = 0;
    {
        BusClaim claim(busLock_);
        EnterSuperIoConfig();
        WriteSuperIoRegister(kRegLogicalDevice, kGpioDevice);
        WriteSuperIoRegister(kRegPinFunction, kPinsAsGpio);
        PrepareGpioForRead();
        io_.Write(kIndexPort, kRegGpioData, PortWidth::Byte);
        clock_.SleepMs(kSettleMs);
        lines = ReadDataPort();
        clock_.SleepMs(kSettleMs);
        if (drawer == DrawerLetter::A) {
            clock_.SleepMs(kSettleMs); // drawer A's line settles 10 ms longer
        }
        ExitSuperIoConfig();
    }
    clock_.SleepMs(kSettleMs);
    return StatusOf(lines, drawer == DrawerLetter::A ? kSenseMaskA : kSenseMaskB);
}

int SuperIoDrawers::ReadSuperIoStatusDirect(uint8_t senseMask) {
    uint8_t lines = 0;
    {
        BusClaim claim(busLock_);
        EnterSuperIoConfig();
        SelectGpioDeviceSettled();
        lines = ReadSuperIoRegister(kRegGpioData);
        ExitSuperIoConfig();
    }
    return StatusOf(lines, senseMask);
}

} // namespace cashdrawer
