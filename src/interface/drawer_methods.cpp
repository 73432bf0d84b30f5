#include "interface/drawer_methods.h"

#include "config/config_file.h"
#include "hardware/super_io.h"
#include "interface/catalogue.h"

namespace cashdrawer::method_ops {
namespace {

PortGpioDrawers PortGpio(DrawerContext& c) { return {c.platform.portIo, c.platform.clock, c.portGpio}; }
SuperIoDrawers SuperIo(DrawerContext& c) { return {c.platform.portIo, c.platform.clock, c.platform.superIoBusLock}; }
FixedPortDrawers FixedPort(DrawerContext& c) { return {c.platform.portIo, c.platform.clock, c.fixedPort}; }
MemoryGpioDrawers MemoryGpio(DrawerContext& c) { return {c.platform.boardIo, c.platform.clock, c.memoryGpio}; }

// The settings are read on every serial call, but take effect only when the
// port is (re)opened: the first serial identifier used decides the port.
Result StartSerialDrawer(DrawerContext& c, const CatalogueRow& row) {
    c.serialSettings = ConfigFile(c.platform.profileStore).ReadSerialSettings(row.drawerId);
    return c.serial.StartSerialMonitor(c.serialSettings);
}

// A failed start explains a failed operation better than the operation
// itself can (a port that did not open, not merely "not open"); a start
// that failed with the port left open does not keep a kick from going out.
Result AfterStart(Result started, Result operation) {
    return Reached(operation) || started == Result::Ok ? operation : started;
}

DriveLine PortLine(uint32_t port, uint32_t mask) { return {DriveLine::Where::Port, port, mask}; }

} // namespace

Result KickSerial(DrawerContext& c, const CatalogueRow& row) {
    const Result started = StartSerialDrawer(c, row);
    return AfterStart(started, c.serial.KickSerialDrawer(row.Letter()));
}

// Both serial identifiers read the one state the device reports.
Result ReadSerial(DrawerContext& c, const CatalogueRow& row) {
    const Result started = StartSerialDrawer(c, row);
    return AfterStart(started, c.serial.ReadSerialDrawerStatus());
}

Result KickMemoryGpio(DrawerContext& c, const CatalogueRow& row) { return MemoryGpio(c).KickMemoryGpio(row.Letter()); }
Result ReadMemoryGpio(DrawerContext& c, const CatalogueRow& row) {
    return MemoryGpio(c).ReadMemoryGpioStatus(row.Letter());
}
DriveLine MemoryGpioLine(const CatalogueRow& row) {
    return {DriveLine::Where::Memory, MemoryGpioOutputRegister(row.Letter()), 0x1};
}

Result KickPortGpio8(DrawerContext& c, const CatalogueRow& row) {
    PortGpio(c).KickProfileDrawer8(*row.ArgsAs<PortGpio8Args>().wiring);
    return Result::Ok;
}
Result ReadPortGpio8(DrawerContext& c, const CatalogueRow& row) {
    return PortGpio(c).ReadProfileStatus8(*row.ArgsAs<PortGpio8Args>().wiring);
}
DriveLine PortGpio8Line(const CatalogueRow& row) {
    const PortGpioProfile& wiring = *row.ArgsAs<PortGpio8Args>().wiring;
    return PortLine(wiring.outputPort, wiring.driveBit);
}
Result KickPortGpio32(DrawerContext& c, const CatalogueRow& row) {
    PortGpio(c).KickProfileDrawer32(*row.ArgsAs<PortGpio32Args>().wiring);
    return Result::Ok;
}
Result ReadPortGpio32(DrawerContext& c, const CatalogueRow& row) {
    return PortGpio(c).ReadProfileStatus32(*row.ArgsAs<PortGpio32Args>().wiring);
}
DriveLine PortGpio32Line(const CatalogueRow& row) {
    const PortGpioProfile& wiring = *row.ArgsAs<PortGpio32Args>().wiring;
    return PortLine(wiring.outputPort, wiring.driveBit);
}

Result KickSuperIoToggle(DrawerContext& c, const CatalogueRow& row) {
    SuperIo(c).KickSuperIoToggle(row.ArgsAs<SuperIoToggleArgs>().driveMask);
    return Result::Ok;
}
Result ReadSuperIoPrepared(DrawerContext& c, const CatalogueRow& row) {
    return SuperIo(c).ReadSuperIoStatusPrepared(row.Letter());
}
DriveLine SuperIoToggleLine(const CatalogueRow& row) {
    return {DriveLine::Where::SuperIoRegister, kSuperIoDrawerRegister, row.ArgsAs<SuperIoToggleArgs>().driveMask};
}
Result KickSuperIoPulse(DrawerContext& c, const CatalogueRow& row) {
    SuperIo(c).KickSuperIoPulse(row.ArgsAs<SuperIoPulseArgs>().driveMask);
    return Result::Ok;
}
Result ReadSuperIoDirect(DrawerContext& c, const CatalogueRow& row) {
    return SuperIo(c).ReadSuperIoStatusDirect(row.ArgsAs<SuperIoPulseArgs>().senseMask);
}
DriveLine SuperIoPulseLine(const CatalogueRow& row) {
    return {DriveLine::Where::SuperIoRegister, kSuperIoDrawerRegister, row.ArgsAs<SuperIoPulseArgs>().driveMask};
}

Result KickPortPulse(DrawerContext& c, const CatalogueRow& row) {
    const PortPulseArgs& args = row.ArgsAs<PortPulseArgs>();
    FixedPort(c).KickPortPulse(args.kickPort, args.pulse, args.trailingPauseMs);
    return Result::Ok;
}
Result ReadPortPulse(DrawerContext& c, const CatalogueRow& row) {
    const PortPulseArgs& args = row.ArgsAs<PortPulseArgs>();
    return FixedPort(c).ReadPortStatus(args.statusPort, args.senseMask, false);
}
// The pulse byte pulls one line of an all-ones port low.
DriveLine PortPulseLine(const CatalogueRow& row) {
    const PortPulseArgs& args = row.ArgsAs<PortPulseArgs>();
    return PortLine(args.kickPort, static_cast<uint8_t>(~args.pulse));
}

Result KickPortReadBack(DrawerContext& c, const CatalogueRow& row) {
    FixedPort(c).KickPortPulseReadBack(row.ArgsAs<PortReadBackArgs>().pulse);
    return Result::Ok;
}
Result ReadPortReadBack(DrawerContext& c, const CatalogueRow& row) {
    return FixedPort(c).ReadPortStatus(kReadBackPort, row.ArgsAs<PortReadBackArgs>().senseMask, false);
}
DriveLine PortReadBackLine(const CatalogueRow& row) {
    return PortLine(kReadBackPort, static_cast<uint8_t>(kReadBackRest ^ row.ArgsAs<PortReadBackArgs>().pulse));
}

Result KickPortMasked(DrawerContext& c, const CatalogueRow& row) {
    FixedPort(c).KickPortMaskedPulse(row.Letter());
    return Result::Ok;
}
// The KV9360's status read needs the one-time enable of port 0x486 too.
Result ReadPortMasked(DrawerContext& c, const CatalogueRow& row) {
    const PortMaskedArgs& args = row.ArgsAs<PortMaskedArgs>();
    return FixedPort(c).ReadPortStatus(args.statusPort, args.senseMask, true);
}
DriveLine PortMaskedLine(const CatalogueRow& row) {
    return PortLine(kMaskedDrivePort, MaskedPulseDriveMask(row.Letter()));
}

DriveLine NoLine(const CatalogueRow&) { return {}; }

} // namespace cashdrawer::method_ops
