// The drawer methods: one operations record each - kick, read the state,
// and where the kick's drive line is for the tool - and the arguments each
// method takes from its catalogue rows. A catalogue row points at its
// method's record; one dispatch serves every export from there.
//
// Adding a drawer method: its hardware sequences, an argument type and a
// record here, and its rows in the catalogue.
#pragma once

#include "config/profile_store.h"
#include "hardware/board_io.h"
#include "hardware/fixed_port.h"
#include "hardware/memory_gpio.h"
#include "hardware/port_gpio.h"
#include "hardware/port_io.h"
#include "hardware/result.h"
#include "platform/background_thread.h"
#include "platform/bus_lock.h"
#include "platform/clock.h"
#include "serial/serial_drawer.h"
#include "serial/serial_link.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <variant>

namespace cashdrawer {

// What the drawer logic needs from the platform.
struct DrawerPlatform {
    PortIo& portIo;
    BoardIo& boardIo;
    SharedBusLock& superIoBusLock;
    ProfileStore& profileStore;
    std::shared_ptr<SerialLink> serialLink; // shared with the monitor thread
    BackgroundThread& monitorThread;
    Clock& clock;
};

// The platform and every method's state that lives from one call to the
// next, for one library instance.
struct DrawerContext {
    explicit DrawerContext(const DrawerPlatform& parts)
        : platform(parts), serial(parts.serialLink, parts.monitorThread, parts.clock) {}

    DrawerPlatform platform;
    PortGpioState portGpio;
    MemoryGpioState memoryGpio;
    FixedPortState fixedPort;
    SerialSettings serialSettings;
    SerialDrawer serial;
};

// Each method's arguments. The drawer letter of the row's identifier is
// handed to every operation besides.
struct SerialArgs {};     // the letter picks the device's drawer pin
struct MemoryGpioArgs {}; // the letter picks the register set
struct PortGpio8Args {
    const PortGpioProfile* wiring;
};
struct PortGpio32Args {
    const PortGpioProfile* wiring; // the RN370 wiring of the drawer's letter
};
struct SuperIoToggleArgs {
    uint8_t driveMask; // the line in register 0xF1; the letter picks the sense bit
};
struct SuperIoPulseArgs {
    uint8_t driveMask;
    uint8_t senseMask;
};
struct PortPulseArgs {
    uint16_t kickPort;
    uint8_t pulse; // the byte that pulls the drive line low
    uint8_t trailingPauseMs;
    uint16_t statusPort;
    uint8_t senseMask;
};
struct PortReadBackArgs {
    uint8_t pulse;
    uint8_t senseMask; // of the shared kick and sense port
};
struct PortMaskedArgs {
    uint16_t statusPort; // the letter picks the drive line
    uint8_t senseMask;
};
struct UndrivenArgs {};

using DrawerArgs = std::variant<SerialArgs, MemoryGpioArgs, PortGpio8Args, PortGpio32Args, SuperIoToggleArgs, SuperIoPulseArgs,
                                PortPulseArgs, PortReadBackArgs, PortMaskedArgs, UndrivenArgs>;

template <typename Args>
constexpr std::size_t kArgsIndex = DrawerArgs(Args{}).index();

// Where a kick's drive line is: the port bit, Super I/O register bit or
// memory register bit whose level the kick pulses.
struct DriveLine {
    enum class Where : uint8_t {
        None,            // no line of its own: the serial drawer, or no kick
        Port,            // a bit of an I/O port
        SuperIoRegister, // a bit of Super I/O register `address`, through ports 0x2E/0x2F
        Memory,          // a bit of a 32-bit register in physical memory
    };
    Where where = Where::None;
    uint32_t address = 0;
    uint32_t mask = 0;
};

struct CatalogueRow;

// One drawer method's operations. A null operation means the export does
// not serve the method's rows: the identifier answers -1 there.
struct DrawerOps {
    const char* description; // what the tool calls the method
    bool usesPortIo;         // runs inside the port I/O bracket
    std::size_t argsIndex;   // the DrawerArgs its rows carry
    Result (*kick)(DrawerContext& context, const CatalogueRow& row);
    Result (*readStatus)(DrawerContext& context, const CatalogueRow& row);
    DriveLine (*driveLine)(const CatalogueRow& row);
};

namespace method_ops {
Result KickSerial(DrawerContext&, const CatalogueRow&);
Result ReadSerial(DrawerContext&, const CatalogueRow&);
Result KickMemoryGpio(DrawerContext&, const CatalogueRow&);
Result ReadMemoryGpio(DrawerContext&, const CatalogueRow&);
DriveLine MemoryGpioLine(const CatalogueRow&);
Result KickPortGpio8(DrawerContext&, const CatalogueRow&);
Result ReadPortGpio8(DrawerContext&, const CatalogueRow&);
Result KickPortGpio32(DrawerContext&, const CatalogueRow&);
Result ReadPortGpio32(DrawerContext&, const CatalogueRow&);
DriveLine PortGpio8Line(const CatalogueRow&);
DriveLine PortGpio32Line(const CatalogueRow&);
Result KickSuperIoToggle(DrawerContext&, const CatalogueRow&);
Result ReadSuperIoPrepared(DrawerContext&, const CatalogueRow&);
Result KickSuperIoPulse(DrawerContext&, const CatalogueRow&);
Result ReadSuperIoDirect(DrawerContext&, const CatalogueRow&);
DriveLine SuperIoToggleLine(const CatalogueRow&);
DriveLine SuperIoPulseLine(const CatalogueRow&);
Result KickPortPulse(DrawerContext&, const CatalogueRow&);
Result ReadPortPulse(DrawerContext&, const CatalogueRow&);
DriveLine PortPulseLine(const CatalogueRow&);
Result KickPortReadBack(DrawerContext&, const CatalogueRow&);
Result ReadPortReadBack(DrawerContext&, const CatalogueRow&);
DriveLine PortReadBackLine(const CatalogueRow&);
Result KickPortMasked(DrawerContext&, const CatalogueRow&);
Result ReadPortMasked(DrawerContext&, const CatalogueRow&);
DriveLine PortMaskedLine(const CatalogueRow&);
DriveLine NoLine(const CatalogueRow&);
} // namespace method_ops

namespace ops = method_ops;

// A drawer device on a COM port, with the status monitor thread.
inline constexpr DrawerOps kSerialDrawer{"serial drawer on a COM port", false, kArgsIndex<SerialArgs>,
                                         &ops::KickSerial, &ops::ReadSerial, &ops::NoLine};
// GPIO registers in physical memory, through the board I/O library.
inline constexpr DrawerOps kMemoryGpio{"GPIO in physical memory", false, kArgsIndex<MemoryGpioArgs>,
                                       &ops::KickMemoryGpio, &ops::ReadMemoryGpio, &ops::MemoryGpioLine};
// Port GPIO profiles: byte-wide behind a GPIO chip, or the RN370's register.
inline constexpr DrawerOps kPortGpio8{"8-bit port GPIO", true, kArgsIndex<PortGpio8Args>,
                                      &ops::KickPortGpio8, &ops::ReadPortGpio8, &ops::PortGpio8Line};
inline constexpr DrawerOps kPortGpio32{"32-bit port GPIO", true, kArgsIndex<PortGpio32Args>,
                                       &ops::KickPortGpio32, &ops::ReadPortGpio32, &ops::PortGpio32Line};
// The Super I/O chip's GPIO: a toggled line read after preparing the pins,
// or a pulsed line read directly.
inline constexpr DrawerOps kSuperIoToggle{"Super I/O GPIO", true, kArgsIndex<SuperIoToggleArgs>,
                                          &ops::KickSuperIoToggle, &ops::ReadSuperIoPrepared, &ops::SuperIoToggleLine};
inline constexpr DrawerOps kSuperIoPulse{"Super I/O GPIO", true, kArgsIndex<SuperIoPulseArgs>,
                                         &ops::KickSuperIoPulse, &ops::ReadSuperIoDirect, &ops::SuperIoPulseLine};
// Fixed I/O ports: a pulse byte on an all-ones port, a pulse read back
// after each write, or a masked pulse that restores the port as read.
inline constexpr DrawerOps kPortPulse{"fixed I/O port", true, kArgsIndex<PortPulseArgs>,
                                      &ops::KickPortPulse, &ops::ReadPortPulse, &ops::PortPulseLine};
inline constexpr DrawerOps kPortReadBack{"fixed I/O port", true, kArgsIndex<PortReadBackArgs>,
                                         &ops::KickPortReadBack, &ops::ReadPortReadBack, &ops::PortReadBackLine};
inline constexpr DrawerOps kPortMasked{"fixed I/O port", true, kArgsIndex<PortMaskedArgs>,
                                       &ops::KickPortMasked, &ops::ReadPortMasked, &ops::PortMaskedLine};
// Listed by OpenCash (and in the default configuration), but no sequence
// drives these drawers and GetCashStatus does not know them.
inline constexpr DrawerOps kUndriven{"fixed I/O port", true, kArgsIndex<UndrivenArgs>, nullptr, nullptr,
                                     &ops::NoLine};

} // namespace cashdrawer
