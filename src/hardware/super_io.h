// Drawers wired to GPIO pins of the board's Super I/O chip (KV7830, KV7450,
// RN2110 and RN320), reached through the chip's configuration mode on the
// index/data port pair 0x2E/0x2F. Runs inside the caller's port I/O bracket.
#pragma once

#include "hardware/drawer_id.h"
#include "hardware/port_io.h"
#include "hardware/result.h"
#include "platform/bus_lock.h"
#include "platform/clock.h"

#include <cstdint>

namespace cashdrawer {

// How the drawer chip is reached: its index/data pair, the keys that open
// and close configuration mode, and where its GPIO block sits.
struct SuperIoConfigMode {
    uint16_t indexPort;
    uint16_t dataPort;
    uint8_t entryKey;         // written twice to the index port
    uint32_t entryKeyPauseMs; // the chip needs this long after each key byte
    uint8_t exitKey;          // written once to the index port
    uint8_t logicalDeviceRegister;
    uint8_t gpioDevice;
};

inline constexpr SuperIoConfigMode kDrawerChip{
    .indexPort = 0x2E,
    .dataPort = 0x2F,
    .entryKey = 0x87,
    .entryKeyPauseMs = 10,
    .exitKey = 0xAA,
    .logicalDeviceRegister = 0x07,
    .gpioDevice = 0x07, // logical device 7: the GPIO block
};

inline constexpr uint16_t kSuperIoIndexPort = kDrawerChip.indexPort;
inline constexpr uint16_t kSuperIoDataPort = kDrawerChip.dataPort;
// The drawer lines: register 0xF1 of logical device 7.
inline constexpr uint8_t kSuperIoDrawerRegister = 0xF1;

class SuperIoDrawers {
public:
    // `busLock` is held around each configuration-mode sequence.
    SuperIoDrawers(PortIo& io, Clock& clock, SharedBusLock& busLock) : io_(io), clock_(clock), busLock_(busLock) {}

    // Configuration-mode primitives.
    void EnterSuperIoConfig();
    void WriteSuperIoRegister(uint8_t reg, uint8_t value);
    uint8_t ReadSuperIoRegister(uint8_t reg);
    void SelectLogicalDevice(uint8_t device);
    void ExitSuperIoConfig();

    // driveMask 0x01 kicks drawer A, 0x02 drawer B.
    void KickSuperIoToggle(uint8_t driveMask);
    void KickSuperIoPulse(uint8_t driveMask);
    // StateBit1 when the drawer's sense bit reads 0, else StateBit0.
    Result ReadSuperIoStatusPrepared(DrawerLetter drawer);
    Result ReadSuperIoStatusDirect(uint8_t senseMask);

private:
    // One configuration-mode sequence: the shared ports claimed and the
    // chip entered; on leaving, the chip exited and the claim released.
    class ConfigModeScope {
    public:
        explicit ConfigModeScope(SuperIoDrawers& chip) : claim_(chip.busLock_), chip_(chip) { chip_.EnterSuperIoConfig(); }
        ~ConfigModeScope() { chip_.ExitSuperIoConfig(); }
        ConfigModeScope(const ConfigModeScope&) = delete;
        ConfigModeScope& operator=(const ConfigModeScope&) = delete;

    private:
        BusClaim claim_;
        SuperIoDrawers& chip_;
    };

    void PrepareGpioForRead();
    // The prepared read's configuration-mode part: the lines as read.
    uint8_t ReadPreparedLines(DrawerLetter drawer);
    void SelectGpioDeviceSettled();
    uint8_t ReadDataPort();
    void WriteDataPort(uint8_t value);

    PortIo& io_;
    Clock& clock_;
    SharedBusLock& busLock_;
};

} // namespace cashdrawer
