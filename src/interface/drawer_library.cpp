#include "interface/drawer_library.h"

#include "interface/failure_text.h"
#include "interface/public_result.h"
#include "serial/serial_link.h"

namespace cashdrawer {

Result DrawerLibrary::Kick(const char* drawerId) {
    return Explained("OpenCash", drawerId,
                     drawerId == nullptr ? Result::UnknownDrawer : Dispatch(FindForOpenCash(drawerId), &DrawerOps::kick));
}

Result DrawerLibrary::ReadStatus(const char* drawerId) {
    return Explained("GetCashStatus", drawerId,
                     drawerId == nullptr ? Result::UnknownDrawer
                                         : Dispatch(FindForGetCashStatus(drawerId), &DrawerOps::readStatus));
}

Result DrawerLibrary::Explained(const char* function, const char* drawerId, Result result) {
    if (Reached(result)) {
        lastFailure_.clear();
        return result;
    }
    const DrawerPlatform& platform = context_.platform;
    const std::string linkDiagnosis = platform.serialLink->Diagnosis();
    lastFailure_ = ExplainFailure(
        result, FailureContext{.function = function,
                               .drawerId = drawerId,
                               .portIo = platform.portIo.Diagnosis(),
                               .boardIo = platform.boardIo.Diagnosis(),
                               .serialPort = linkDiagnosis.empty() ? SerialPortName(context_.serialSettings.ComNuM)
                                                                   : linkDiagnosis,
                               .baudRate = SupportedBaudRate(context_.serialSettings.Baudint),
                               .silentForMs = context_.serial.SilentForMs()});
    return result;
}

int DrawerLibrary::OpenCash(const char* drawerId) { return PublicResult(Kick(drawerId)); }
int DrawerLibrary::GetCashStatus(const char* drawerId) { return PublicResult(ReadStatus(drawerId)); }

// Serial and memory-mapped drawers never touch the port I/O library. Every
// other identifier, known to the export or not, opens the port I/O bracket
// around its operation - or around nothing, and yields UnknownDrawer.
Result DrawerLibrary::Dispatch(const CatalogueRow* row, Operation DrawerOps::*operation) {
    const Operation run = row != nullptr ? row->method->*operation : nullptr;
    if (row != nullptr && !row->method->usesPortIo) {
        return run != nullptr ? run(context_, *row) : Result::UnknownDrawer;
    }
    PortIoBracket bracket(context_.platform.portIo);
    if (run == nullptr) {
        return Result::UnknownDrawer;
    }
    if (!bracket.Ready()) {
        return bracket.Start();
    }
    // A state is read before the bracket's shutdown and handed on unchanged.
    return run(context_, *row);
}

// With no drawer chosen, the defaults are written for next time and no
// drawer is touched now. A chosen key missing from the list hands on the
// empty identifier, which no drawer answers to.
int DrawerLibrary::OnChosenDrawer(int (DrawerLibrary::*call)(const char*)) {
    ConfigFile config = Config();
    lastFailure_.clear();
    if (!config.Available()) {
        return CASH_DRAWER_NONE_CHOSEN; // no current directory: no file to read, none to write
    }
    const std::optional<std::string> chosen = config.ReadChosenDrawer();
    if (!chosen) {
        config.WriteDefaultConfiguration();
        return CASH_DRAWER_NONE_CHOSEN;
    }
    const int result = (this->*call)(chosen->c_str());
    if (chosen->empty()) {
        lastFailure_ = std::string(kConfigFileName) + " chooses the key '" + config.ReadChosenKey() + "', which its [" +
                       kListSection + "] does not list";
    }
    return result;
}

int DrawerLibrary::OpenCashDefault() { return OnChosenDrawer(&DrawerLibrary::OpenCash); }
int DrawerLibrary::GetCashStatusDefault() { return OnChosenDrawer(&DrawerLibrary::GetCashStatus); }

} // namespace cashdrawer
