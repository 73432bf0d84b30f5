// The technician's check: everything one drawer (or the whole terminal)
// needs, looked at without kicking anything, written as one JSON object.
#include "interface/drawer_library.h"

#include "cash_drawer_version.h"
#include "config/ini_file.h"
#include "interface/failure_text.h"
#include "interface/utf8_text.h"
#include "hardware/memory_gpio.h"
#include "hardware/super_io.h"
#include "platform/bus_lock.h"
#include "platform/kernel_port_claims.h"
#include "platform/library_location.h"
#include "platform/system_text.h"
#include "serial/serial_link.h"

#include <algorithm>
#include <string>
#include <vector>

namespace cashdrawer {
namespace {

// Just enough JSON: objects of strings, numbers, booleans and nested
// objects, written in order. Strings are escaped so that the report is
// valid JSON and valid UTF-8 whatever bytes they hold.
class JsonObject {
public:
    JsonObject& Add(const char* key, const std::string& value) { return Raw(key, JsonQuoted(value)); }
    JsonObject& Add(const char* key, const char* value) { return Raw(key, JsonQuoted(value)); }
    JsonObject& Add(const char* key, bool value) { return Raw(key, value ? "true" : "false"); }
    JsonObject& Add(const char* key, int64_t value) { return Raw(key, std::to_string(value)); }
    JsonObject& Add(const char* key, const JsonObject& value) { return Raw(key, value.Text()); }
    std::string Text() const { return "{" + body_ + "}"; }

private:
    JsonObject& Raw(const char* key, const std::string& value) {
        if (!body_.empty()) {
            body_ += ',';
        }
        body_ += JsonQuoted(key);
        body_ += ':';
        body_ += value;
        return *this;
    }

    std::string body_;
};

// What a drawer method needs from the terminal. Made by NeedsOf alone,
// which names all four (the compiler's missing-initialiser warning keeps
// it so).
struct Needs {
    bool portIo;
    bool superIoBus;
    bool boardIo;
    bool serial;
};

Needs NeedsOf(const CatalogueRow* row) {
    if (row == nullptr) {
        return {true, true, true, true}; // the whole terminal
    }
    const DrawerOps* method = row->method;
    return {method->usesPortIo, method == &kSuperIoToggle || method == &kSuperIoPulse, method == &kMemoryGpio,
            method == &kSerialDrawer};
}

// The serial drawer the configuration file sets up: the chosen drawer when
// it is a serial one, else the first of the two sections that names a
// port; none when neither does.
const char* ConfiguredSerialDrawer(ConfigFile& config, const CatalogueRow* chosenRow) {
    if (chosenRow != nullptr && chosenRow->method == &kSerialDrawer) {
        return chosenRow->drawerId;
    }
    for (const char* serialId : {"DL470_CashA", "DL470_CashB"}) {
        const SerialSettings settings = config.ReadSerialSettings(serialId);
        if (settings.ComNuM != 0 || !settings.Device.empty()) {
            return serialId;
        }
    }
    return nullptr;
}

} // namespace

Result DrawerLibrary::CheckHealth(const char* drawerId, std::string& json) {
    const CatalogueRow* row = drawerId != nullptr ? FindForOpenCash(drawerId) : nullptr;
    // A listed identifier without a drive line gives -1 from every export:
    // the health check answers for it as they do.
    if (drawerId != nullptr && (row == nullptr || row->method->kick == nullptr)) {
        json.clear();
        return Explained("CheckCashDrawerHealth", drawerId, Result::UnknownDrawer);
    }
    const Needs needs = NeedsOf(row);
    DrawerPlatform& platform = context_.platform;
    std::vector<std::string> problems;

    JsonObject report;
    report.Add("version", CASH_DRAWER_VERSION).Add("library", LibraryPath());
    report.Add("drawerId", drawerId != nullptr ? drawerId : "(the whole terminal)");
    if (row != nullptr) {
        report.Add("method", row->method->description);
    }

    ConfigFile config = Config();
    const std::string path = config.BuildConfigPath();
    const std::string shownPath = SystemTextAsUtf8(path);
    JsonObject configuration;
    configuration.Add("path", path.empty() ? "(the current directory cannot be told)" : shownPath);
    configuration.Add("currentDirectory",
                      shownPath.substr(0, shownPath.size() - std::min(shownPath.size(), sizeof kConfigFileName - 1)));
    const bool found = !path.empty() && KindOfPath(path) == PathKind::File;
    configuration.Add("found", found);
    const bool writable = !path.empty() && CanWriteFile(path);
    configuration.Add("writable", writable);
    if (!found && !writable) {
        problems.push_back("the configuration file " + (path.empty() ? std::string(kConfigFileName) : shownPath) +
                           " cannot be written: the Default calls will never find a drawer chosen");
    }
    const std::optional<std::string> chosen = config.ReadChosenDrawer();
    const CatalogueRow* chosenRow = chosen ? FindForOpenCash(chosen->c_str()) : nullptr;
    configuration.Add("chosenKey", SystemTextAsUtf8(config.ReadChosenKey()));
    if (!chosen) {
        configuration.Add("resolves", "no drawer chosen: the next Default call writes the defaults");
    } else if (chosenRow != nullptr && chosenRow->method->kick != nullptr) {
        configuration.Add("chosenDrawer", *chosen).Add("resolves", chosenRow->method->description);
    } else {
        configuration.Add("chosenDrawer", SystemTextAsUtf8(*chosen))
            .Add("resolves", "not a drawer identifier: the Default calls give -1");
    }
    report.Add("configuration", configuration);

    if (needs.portIo) {
        // The bracket opens and closes around nothing: the library loads and
        // its driver starts, but no port is touched.
        Result start = Result::Ok;
        {
            PortIoBracket bracket(platform.portIo);
            start = bracket.Start();
        }
        JsonObject portIo;
        portIo.Add("starts", start == Result::Ok).Add("detail", platform.portIo.Diagnosis());
        report.Add("portIo", portIo);
        if (start != Result::Ok) {
            problems.push_back("the port I/O library: " + platform.portIo.Diagnosis());
        }
    }
    if (needs.superIoBus) {
        BusClaim claim(platform.superIoBusLock);
        report.Add("superIoBusMutex", claim.Held() ? "free" : platform.superIoBusLock.WhyNotHeld());
        if (const std::string claims = KernelClaimsOnPorts(kSuperIoIndexPort, kSuperIoDataPort); !claims.empty()) {
            report.Add("superIoKernelDrivers", claims);
        }
    }
    if (needs.boardIo) {
        const bool opens = MemoryGpioRegistersReachable(platform.boardIo);
        JsonObject boardIo;
        boardIo.Add("opens", opens).Add("detail", platform.boardIo.Diagnosis());
        report.Add("boardIo", boardIo);
        if (!opens) {
            problems.push_back("the board I/O library: " + platform.boardIo.Diagnosis());
        }
    }
    if (needs.serial) {
        // The whole terminal checks the serial drawer when the file sets it
        // up or chooses it; a terminal without one has nothing to check.
        const char* checkedId = row != nullptr ? row->drawerId : ConfiguredSerialDrawer(config, chosenRow);
        const char* serialId = checkedId != nullptr ? checkedId : "DL470_CashA";
        const SerialSettings settings = config.ReadSerialSettings(serialId);
        JsonObject serial;
        serial.Add("section", serialId)
            .Add("port", platform.serialLink->DeviceFor(settings.ComNuM, settings.Device))
            .Add("baudRate", static_cast<int64_t>(SupportedBaudRate(settings.Baudint)))
            .Add("configured", checkedId != nullptr);
        if (checkedId != nullptr) {
            // The serial drawer itself: its port opened (as its first call
            // would) and one status request answered - a request, no kick.
            const Result read = ReadStatus(checkedId);
            serial.Add("open", platform.serialLink->IsOpen()).Add("reportsArrive", Reached(read));
            if (!Reached(read)) {
                serial.Add("detail", lastFailure_);
                problems.push_back(lastFailure_);
            }
        } else {
            serial.Add("open", platform.serialLink->IsOpen())
                .Add("reportsSeen", static_cast<int64_t>(context_.serial.State().reportsPublished.load()));
        }
        report.Add("serial", serial);
    }
    std::string missing;
    for (const std::string& problem : problems) {
        if (!missing.empty()) {
            missing += "; ";
        }
        missing += problem;
    }
    report.Add("allWell", problems.empty());
    if (!problems.empty()) {
        report.Add("problems", missing);
    }
    json = report.Text();
    lastFailure_ = missing;
    // Any missing part stands for all: the health check has one -2.
    return problems.empty() ? Result::Ok : Result::LibraryMissing;
}

} // namespace cashdrawer
