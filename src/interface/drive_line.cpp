#include "interface/drive_line.h"

#include "hardware/drawer_id.h"
#include "hardware/fixed_port.h"
#include "hardware/memory_gpio.h"
#include "hardware/port_gpio.h"
#include "hardware/super_io.h"

namespace cashdrawer {
namespace {

DriveLine ProfileLine(std::span<const PortGpioProfileRow> table, const char* profileId) {
    for (const PortGpioProfileRow& row : table) {
        if (SameDrawerId(profileId, row.drawerId)) {
            return {DriveLine::Where::Port, row.profile.outputPort, row.profile.driveBit};
        }
    }
    return {};
}

} // namespace

DriveLine DriveLineOf(const CatalogueRow& row) {
    const KickBinding& kick = row.kick;
    switch (kick.kind) {
    case KickKind::ProfileGpio8:
        return ProfileLine(PortGpioProfiles8(), row.ProfileId());
    case KickKind::ProfileGpio32:
        return ProfileLine(PortGpioProfiles32(), row.ProfileId());
    case KickKind::SuperIoToggle:
    case KickKind::SuperIoPulse:
        return {DriveLine::Where::SuperIoRegister, kSuperIoDrawerRegister, kick.value};
    case KickKind::PortPulse:
        // The pulse byte pulls one line of an all-ones port low.
        return {DriveLine::Where::Port, kick.port, static_cast<uint8_t>(~kick.value)};
    case KickKind::PortPulseReadBack:
        return {DriveLine::Where::Port, kReadBackPort, static_cast<uint8_t>(kReadBackRest ^ kick.value)};
    case KickKind::PortMaskedPulse:
        return {DriveLine::Where::Port, kMaskedDrivePort, MaskedPulseDriveMask(row.Letter())};
    case KickKind::MemoryGpio:
        return {DriveLine::Where::Memory, MemoryGpioOutputRegister(row.Letter()), 0x1};
    case KickKind::SerialDrawer:
    case KickKind::None:
        break;
    }
    return {};
}

} // namespace cashdrawer
