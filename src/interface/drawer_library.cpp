#include "interface/drawer_library.h"

#include "cash_drawer.h"

namespace cashdrawer {
namespace {

// Drawer methods whose sequences this build drives. The rows of the others
// stay in the catalogue and answer like an identifier that matches nothing
// until their method is connected.
constexpr bool MethodConnected(DrawerMethod method) {
    switch (method) {
    case DrawerMethod::ProfileGpio8:
    case DrawerMethod::ProfileGpio32:
        return true;
    case DrawerMethod::Serial:
    case DrawerMethod::MemoryGpio:
    case DrawerMethod::SuperIo:
    case DrawerMethod::FixedPort:
        return false;
    }
    return false;
}

const CatalogueRow* Connected(const CatalogueRow* row) {
    return row != nullptr && MethodConnected(row->method) ? row : nullptr;
}

} // namespace

int DrawerLibrary::OpenCash(const char* drawerId) {
    if (drawerId == nullptr) {
        return CASH_DRAWER_UNKNOWN_ID;
    }
    const CatalogueRow* row = Connected(FindForOpenCash(drawerId));

    // Every other identifier, known or not, opens the port I/O bracket.
    PortIoBracket bracket(portIo_);
    if (row == nullptr || row->kick.kind == KickKind::None) {
        return CASH_DRAWER_UNKNOWN_ID;
    }
    if (!bracket.Ready()) {
        return CASH_DRAWER_UNREACHABLE;
    }
    RunKick(*row);
    return CASH_DRAWER_KICKED;
}

int DrawerLibrary::GetCashStatus(const char* drawerId) {
    if (drawerId == nullptr) {
        return CASH_DRAWER_UNKNOWN_ID;
    }
    const CatalogueRow* row = Connected(FindForGetCashStatus(drawerId));

    PortIoBracket bracket(portIo_);
    if (row == nullptr) {
        return CASH_DRAWER_UNKNOWN_ID;
    }
    if (!bracket.Ready()) {
        return CASH_DRAWER_UNREACHABLE;
    }
    // Computed before the bracket's shutdown, handed on unchanged.
    return RunStatus(*row);
}

// No configuration file support in this build: nothing is ever chosen.
int DrawerLibrary::OpenCashDefault() { return CASH_DRAWER_NONE_CHOSEN; }
int DrawerLibrary::GetCashStatusDefault() { return CASH_DRAWER_NONE_CHOSEN; }

void DrawerLibrary::RunKick(const CatalogueRow& row) {
    PortGpioDrawers portGpio(portIo_, clock_, portGpio_);
    switch (row.kick.kind) {
    case KickKind::ProfileGpio8:
        portGpio.KickProfileDrawer8(row.ProfileId());
        break;
    case KickKind::ProfileGpio32:
        portGpio.KickProfileDrawer32(row.ProfileId());
        break;
    case KickKind::None:
    case KickKind::SerialDrawer:
    case KickKind::MemoryGpio:
    case KickKind::SuperIoToggle:
    case KickKind::SuperIoPulse:
    case KickKind::PortPulse:
    case KickKind::PortPulseReadBack:
    case KickKind::PortMaskedPulse:
        break;
    }
}

int DrawerLibrary::RunStatus(const CatalogueRow& row) {
    PortGpioDrawers portGpio(portIo_, clock_, portGpio_);
    switch (row.status.kind) {
    case StatusKind::ProfileGpio8:
        return portGpio.ReadProfileStatus8(row.ProfileId());
    case StatusKind::ProfileGpio32:
        return portGpio.ReadProfileStatus32(row.ProfileId());
    case StatusKind::NotRecognised:
    case StatusKind::SerialDrawer:
    case StatusKind::MemoryGpio:
    case StatusKind::SuperIoPrepared:
    case StatusKind::SuperIoDirect:
    case StatusKind::PortStatus:
        break;
    }
    return CASH_DRAWER_UNKNOWN_ID;
}

} // namespace cashdrawer
