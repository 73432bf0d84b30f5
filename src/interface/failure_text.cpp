#include "interface/failure_text.h"

#include "interface/catalogue.h"

#include <cctype>

namespace cashdrawer {
namespace {

// Letters folded to upper case, blanks dropped.
std::string Folded(const char* text) {
    std::string folded;
    for (; *text != '\0'; ++text) {
        const auto c = static_cast<unsigned char>(*text);
        if (!std::isspace(c)) {
            folded += static_cast<char>(std::toupper(c));
        }
    }
    return folded;
}

std::string UnknownDrawer(const FailureContext& c) {
    if (c.drawerId == nullptr) {
        return std::string(c.function) + " was given a null pointer for the drawer identifier";
    }
    const std::string quoted = std::string("'") + c.drawerId + "'";
    if (const CatalogueRow* row = FindForOpenCash(c.drawerId); row != nullptr && !row->ReadsStatus()) {
        return quoted + " is listed, but no drawer line of its own is wired for it: neither a kick nor a state is known";
    }
    std::string text = quoted + " is not a drawer identifier " + c.function + " knows";
    if (const char* nearest = NearestDrawerId(c.drawerId)) {
        text += std::string(" (did you mean '") + nearest + "'? identifiers match byte for byte)";
    }
    return text;
}

// "1.2 s": whole arithmetic, so the DLL carries no floating-point printing.
std::string Seconds(uint64_t ms) { return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s"; }

} // namespace

const char* NearestDrawerId(const char* drawerId) {
    if (drawerId == nullptr) {
        return nullptr;
    }
    const std::string folded = Folded(drawerId);
    for (const CatalogueRow& row : Catalogue()) {
        if (Folded(row.drawerId) == folded && std::string(row.drawerId) != drawerId) {
            return row.drawerId;
        }
    }
    return nullptr;
}

std::string ExplainFailure(Result result, const FailureContext& c) {
    const std::string device = "the serial drawer device on " + c.serialPort;
    switch (result) {
    case Result::Ok:
    case Result::StateBit0:
    case Result::StateBit1: return {};
    case Result::UnknownDrawer: return UnknownDrawer(c);
    case Result::LibraryMissing: return "the port I/O library could not be used: " + c.portIo;
    case Result::LibraryFailed: return "the port I/O library did not start: " + c.portIo;
    case Result::BoardIoUnavailable: return "the board I/O library could not be used: " + c.boardIo;
    case Result::PortMissing: return "the serial drawer's COM port could not be opened: " + c.serialPort;
    case Result::SettingsRejected:
    case Result::LineRefused:
        return c.serialPort + " refused its line settings (" + std::to_string(c.baudRate) +
               " baud, 8 data bits, no parity, one stop bit): no status can be read from it";
    case Result::NotOpen: return "no COM port is open for the serial drawer";
    case Result::WriteFailed:
        return "a write to " + c.serialPort + " did not go out (a pulled cable, a device holding the line)";
    case Result::ThreadFailed: return "no thread could be made for the serial drawer's status monitor";
    case Result::NoReport:
        return "no status report from " + device + " within 500 ms of asking (is it switched on and set to " +
               std::to_string(c.baudRate) + " baud?)";
    case Result::DeviceSilent: return "no status report from " + device + " since " + Seconds(c.silentForMs);
    case Result::MonitorLate:
        return "the serial drawer's status monitor did not stop in time when the DLL was unloaded; the serial "
               "drawer serves no more calls until the application restarts";
    }
    return "unexpected result";
}

} // namespace cashdrawer
