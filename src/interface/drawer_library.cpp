#include "interface/drawer_library.h"

#include "cash_drawer.h"

namespace cashdrawer {

int DrawerLibrary::OpenCash(const char* drawerId) {
    if (drawerId == nullptr) {
        return CASH_DRAWER_UNKNOWN_ID;
    }
    const CatalogueRow* row = FindForOpenCash(drawerId);
    if (row != nullptr && row->method == DrawerMethod::Serial) {
        StartSerialDrawer(*row);
        return serial_.KickSerialDrawer(row->Letter());
    }
    if (row != nullptr && row->method == DrawerMethod::MemoryGpio) {
        return MemoryGpio().KickMemoryGpio(row->Letter());
    }

    // Every other identifier, known or not, opens the port I/O bracket.
    PortIoBracket bracket(platform_.portIo);
    if (row == nullptr || row->kick.kind == KickKind::None) {
        return CASH_DRAWER_UNKNOWN_ID;
    }
    if (!bracket.Ready()) {
        return CASH_DRAWER_UNREACHABLE;
    }
    RunPortKick(*row);
    return CASH_DRAWER_KICKED;
}

int DrawerLibrary::GetCashStatus(const char* drawerId) {
    if (drawerId == nullptr) {
        return CASH_DRAWER_UNKNOWN_ID;
    }
    const CatalogueRow* row = FindForGetCashStatus(drawerId);
    if (row != nullptr && row->method == DrawerMethod::Serial) {
        // Both serial identifiers read the one state the device reports.
        StartSerialDrawer(*row);
        return serial_.ReadSerialDrawerStatus();
    }
    if (row != nullptr && row->method == DrawerMethod::MemoryGpio) {
        return MemoryGpio().ReadMemoryGpioStatus(row->Letter());
    }

    PortIoBracket bracket(platform_.portIo);
    if (row == nullptr) {
        return CASH_DRAWER_UNKNOWN_ID;
    }
    if (!bracket.Ready()) {
        return CASH_DRAWER_UNREACHABLE;
    }
    // Computed before the bracket's shutdown, handed on unchanged.
    return RunPortStatus(*row);
}

// The settings are read on every serial call, but take effect only when the
// port is (re)opened: the first serial identifier used decides the port.
void DrawerLibrary::StartSerialDrawer(const CatalogueRow& row) {
    serialSettings_ = Config().ReadSerialSettings(row.drawerId);
    serial_.StartSerialMonitor(serialSettings_);
}

// With no drawer chosen, the defaults are written for next time and no
// drawer is touched now. A chosen key missing from the list hands on the
// empty identifier, which no drawer answers to.
int DrawerLibrary::OnChosenDrawer(int (DrawerLibrary::*call)(const char*)) {
    ConfigFile config = Config();
    if (!config.Available()) {
        return CASH_DRAWER_NONE_CHOSEN; // no current directory: no file to read, none to write
    }
    const std::optional<std::string> chosen = config.ReadChosenDrawer();
    if (!chosen) {
        config.WriteDefaultConfiguration();
        return CASH_DRAWER_NONE_CHOSEN;
    }
    return (this->*call)(chosen->c_str());
}

int DrawerLibrary::OpenCashDefault() { return OnChosenDrawer(&DrawerLibrary::OpenCash); }
int DrawerLibrary::GetCashStatusDefault() { return OnChosenDrawer(&DrawerLibrary::GetCashStatus); }

DrawerLibrary::PortMethods DrawerLibrary::PortDrawers() {
    PortIo& io = platform_.portIo;
    Clock& clock = platform_.clock;
    return {PortGpioDrawers(io, clock, portGpio_), SuperIoDrawers(io, clock, platform_.superIoBusLock, portScratch_),
            FixedPortDrawers(io, clock, fixedPort_, portScratch_)};
}

void DrawerLibrary::RunPortKick(const CatalogueRow& row) {
    const KickBinding& kick = row.kick;
    auto [portGpio, superIo, fixedPort] = PortDrawers();
    switch (kick.kind) {
    case KickKind::ProfileGpio8:
        portGpio.KickProfileDrawer8(row.ProfileId());
        break;
    case KickKind::ProfileGpio32:
        portGpio.KickProfileDrawer32(row.ProfileId());
        break;
    case KickKind::SuperIoToggle:
        superIo.KickSuperIoToggle(kick.value);
        break;
    case KickKind::SuperIoPulse:
        superIo.KickSuperIoPulse(kick.value);
        break;
    case KickKind::PortPulse:
        fixedPort.KickPortPulse(kick.port, kick.value, kick.trailingPauseMs);
        break;
    case KickKind::PortPulseReadBack:
        fixedPort.KickPortPulseReadBack(kick.value);
        break;
    case KickKind::PortMaskedPulse:
        fixedPort.KickPortMaskedPulse(row.Letter());
        break;
    case KickKind::None:
    case KickKind::SerialDrawer:
    case KickKind::MemoryGpio:
        break; // not port-based: never reaches here
    }
}

int DrawerLibrary::RunPortStatus(const CatalogueRow& row) {
    const StatusBinding& status = row.status;
    auto [portGpio, superIo, fixedPort] = PortDrawers();
    switch (status.kind) {
    case StatusKind::ProfileGpio8:
        return portGpio.ReadProfileStatus8(row.ProfileId());
    case StatusKind::ProfileGpio32:
        return portGpio.ReadProfileStatus32(row.ProfileId());
    case StatusKind::SuperIoPrepared:
        return superIo.ReadSuperIoStatusPrepared(row.Letter());
    case StatusKind::SuperIoDirect:
        return superIo.ReadSuperIoStatusDirect(status.senseMask);
    case StatusKind::PortStatus:
        return fixedPort.ReadPortStatus(status.port, status.senseMask, status.port486SetUp);
    case StatusKind::NotRecognised:
    case StatusKind::SerialDrawer:
    case StatusKind::MemoryGpio:
        break; // not port-based: never reaches here
    }
    return CASH_DRAWER_UNKNOWN_ID;
}

} // namespace cashdrawer
