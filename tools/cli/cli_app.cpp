#include "cli/cli_app.h"

#include "cash_drawer.h"
#include "cli/timing_diagram.h"
#include "config/config_file.h"
#include "config/profile_store.h"
#include "interface/catalogue.h"
#include "platform/clock.h"
#include "serial/serial_link.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <ostream>
#include <string>
#include <vector>

namespace cashdrawer::cli {
namespace {

using nlohmann::json;

constexpr char kExitCodeHelp[] =
    "Exit codes:\n"
    "  0  success (the kick ran, or a state was read)\n"
    "  1  usage error\n"
    "  2  the drawer identifier is unknown to the function\n"
    "  3  the drawer's hardware could not be reached\n";

volatile std::sig_atomic_t interrupted = 0;
void OnInterrupt(int) { interrupted = 1; }

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string ModelOf(const char* drawerId) {
    const std::string id = drawerId;
    return id.substr(0, id.rfind("_Cash"));
}

const CatalogueRow* RowOf(const std::string& drawerId) { return FindForOpenCash(drawerId.c_str()); }

// "PORT=VALUE", numbers in C notation (0x50E=0xFF); DWORD-wide when the
// value does not fit a byte.
bool ParseAssignment(const std::string& text, uint32_t& where, uint32_t& value) {
    const auto equals = text.find('=');
    if (equals == std::string::npos) {
        return false;
    }
    try {
        std::size_t used = 0;
        where = static_cast<uint32_t>(std::stoul(text.substr(0, equals), &used, 0));
        if (used != equals) {
            return false;
        }
        const std::string rest = text.substr(equals + 1);
        value = static_cast<uint32_t>(std::stoul(rest, &used, 0));
        return used == rest.size();
    } catch (const std::exception&) {
        return false;
    }
}

struct Outcome {
    const char* meaning;
    int exitCode;
};

Outcome KickOutcome(int result) {
    switch (result) {
    case CASH_DRAWER_KICKED: return {"kicked", kExitSuccess};
    case CASH_DRAWER_UNKNOWN_ID: return {"unknown drawer identifier", kExitUnknownDrawer};
    case CASH_DRAWER_UNREACHABLE: return {"drawer hardware unreachable", kExitUnreachable};
    default: return {"unexpected result", kExitUnreachable};
    }
}

Outcome StatusOutcome(int result) {
    switch (result) {
    case 1: return {"drawer state bit 1", kExitSuccess};
    case 0: return {"drawer state bit 0", kExitSuccess};
    case CASH_DRAWER_UNKNOWN_ID: return {"unknown drawer identifier", kExitUnknownDrawer};
    case CASH_DRAWER_UNREACHABLE: return {"drawer hardware unreachable", kExitUnreachable};
    default: return {"unexpected result", kExitUnreachable};
    }
}

json AccessJson(const sim::AccessRecord& access, uint64_t origin) {
    json item{{"timeMs", static_cast<double>(access.timeMicros - origin) / 1000.0}};
    switch (access.op) {
    case sim::AccessOp::Initialize: item["op"] = "InitializeWinIo"; break;
    case sim::AccessOp::Shutdown: item["op"] = "ShutdownWinIo"; break;
    case sim::AccessOp::Read:
    case sim::AccessOp::Write:
        item["op"] = access.op == sim::AccessOp::Read ? "read" : "write";
        item["port"] = Hex(access.port, 4);
        item["width"] = access.width;
        item["value"] = Hex(access.value, access.width == 4 ? 8 : 2);
        break;
    case sim::AccessOp::Pause: item["op"] = "pause"; item["ms"] = access.value; break;
    case sim::AccessOp::BoardOpen: item["op"] = "olvexioOpen"; item["handle"] = access.value; break;
    case sim::AccessOp::BoardClose: item["op"] = "olvexioClose"; break;
    case sim::AccessOp::MemRead:
    case sim::AccessOp::MemWrite:
        item["op"] = access.op == sim::AccessOp::MemRead ? "memRead" : "memWrite";
        item["address"] = Hex(access.address, 8);
        item["value"] = Hex(access.value, 8);
        break;
    case sim::AccessOp::BusClaim: item["op"] = "superIoClaim"; item["claimed"] = access.value != 0; break;
    case sim::AccessOp::BusRelease: item["op"] = "superIoRelease"; break;
    }
    return item;
}

class Tool {
public:
    Tool(std::ostream& out, std::ostream& err, const BackendFactory& makeBackend)
        : out_(out), err_(err), makeBackend_(makeBackend) {}

    int Run(int argc, const char* const* argv);

private:
    int List();
    int CallDrawer(const std::string& function, const std::string& drawerId);
    int Watch(const std::string& drawerId);
    int Default(const std::string& which);
    int ConfigShow();
    int ConfigInit();

    // Builds the backend and applies --port and --memory; null after an
    // error message, with the exit code in backendError_.
    DrawerBackend* Backend();
    int Report(const std::string& function, const std::string& drawerId, int result, const Outcome& outcome,
               uint64_t origin, const std::vector<sim::AccessRecord>& accesses);
    int Fail(int exitCode, const std::string& message) {
        err_ << "cashdrawer: " << message << "\n";
        return exitCode;
    }

    std::ostream& out_;
    std::ostream& err_;
    const BackendFactory& makeBackend_;
    std::unique_ptr<DrawerBackend> backend_;

    bool json_ = false;
    bool simulate_ = false;
    std::vector<std::string> ports_;
    std::vector<std::string> memory_;
    unsigned intervalMs_ = 500;
    unsigned count_ = 0;
    int backendError_ = kExitSuccess;
};

int Tool::Run(int argc, const char* const* argv) {
    CLI::App app{"Kicks a cash drawer open and reads its state through the cash drawer library.", "cashdrawer"};
    app.footer(kExitCodeHelp);
    app.require_subcommand(1);
    app.fallthrough();
    app.add_flag("--json", json_, "Print the result as JSON, for scripts");
    app.add_flag("--simulate", simulate_,
                 "Run on a simulated terminal: print every port and memory access with its time, and the "
                 "drive line's pulse");
    app.add_option("--port", ports_, "Simulated terminal: what a port reads, e.g. --port 0x53A=0xFB")
        ->type_name("PORT=VALUE");
    app.add_option("--memory", memory_, "Simulated terminal: what a memory word reads, e.g. --memory 0xFDAE04F8=0x2")
        ->type_name("ADDRESS=VALUE");

    std::string drawerId;
    std::string which;
    auto* list = app.add_subcommand("list", "Every drawer identifier, its drawer method, and which functions know it");
    auto* open = app.add_subcommand("open", "Kick a drawer open (OpenCash)");
    open->add_option("id", drawerId, "Drawer identifier, e.g. RN340_CashA")->required();
    auto* status = app.add_subcommand("status", "Read a drawer's state (GetCashStatus)");
    status->add_option("id", drawerId, "Drawer identifier")->required();
    auto* watch = app.add_subcommand("watch", "Poll a drawer's state and print each change, until Ctrl+C");
    watch->add_option("id", drawerId, "Drawer identifier")->required();
    watch->add_option("--interval", intervalMs_, "Milliseconds between reads")->check(CLI::Range(10u, 3600000u));
    watch->add_option("--count", count_, "Stop after this many lines (the first state included)");
    auto* byDefault = app.add_subcommand("default", "Act on the drawer chosen in CashDrawerconfig.ini");
    byDefault->add_option("what", which, "open or status")->required()->check(CLI::IsMember({"open", "status"}));
    auto* config = app.add_subcommand("config", "The configuration file CashDrawerconfig.ini in the current directory");
    config->require_subcommand(1);
    auto* show = config->add_subcommand("show", "Which drawer the file chooses, and how it resolves");
    auto* init = config->add_subcommand("init", "Write the default entries");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error, out_, err_);
        return code == 0 ? kExitSuccess : kExitUsage;
    }

    if (*list) {
        return List();
    }
    if (*open) {
        return CallDrawer("OpenCash", drawerId);
    }
    if (*status) {
        return CallDrawer("GetCashStatus", drawerId);
    }
    if (*watch) {
        return Watch(drawerId);
    }
    if (*byDefault) {
        return Default(which);
    }
    if (*show) {
        return ConfigShow();
    }
    if (*init) {
        return ConfigInit();
    }
    return kExitUsage;
}

int Tool::List() {
    json rows = json::array();
    if (!json_) {
        out_ << "MODEL     DRAWER ID        METHOD                        OpenCash   GetCashStatus\n";
    }
    for (const CatalogueRow& row : Catalogue()) {
        const bool kicks = row.Kicks();
        const bool reads = row.ReadsStatus();
        if (json_) {
            rows.push_back({{"model", ModelOf(row.drawerId)},
                            {"drawerId", row.drawerId},
                            {"method", row.method->description},
                            {"openCash", kicks ? "kicks" : "known, no drive line (-1)"},
                            {"getCashStatus", reads ? "reads" : "unknown (-1)"}});
            continue;
        }
        char line[160];
        std::snprintf(line, sizeof line, "%-9s %-16s %-29s %-10s %s\n", ModelOf(row.drawerId).c_str(), row.drawerId,
                      row.method->description, kicks ? "kicks" : "-1", reads ? "reads" : "-1");
        out_ << line;
    }
    if (json_) {
        out_ << rows.dump(2) << "\n";
    }
    return kExitSuccess;
}

DrawerBackend* Tool::Backend() {
    if (backend_) {
        return backend_.get();
    }
    if (!simulate_ && !(ports_.empty() && memory_.empty())) {
        backendError_ = Fail(kExitUsage, "--port and --memory go with --simulate");
        return nullptr;
    }
    std::string error;
    backend_ = makeBackend_(simulate_, error);
    if (!backend_) {
        backendError_ = Fail(kExitUnreachable, error);
        return nullptr;
    }
    for (const std::string& assignment : ports_) {
        uint32_t port = 0;
        uint32_t value = 0;
        if (!ParseAssignment(assignment, port, value) || port > 0xFFFF) {
            backendError_ = Fail(kExitUsage, "--port wants PORT=VALUE, e.g. 0x53A=0xFB; got '" + assignment + "'");
            backend_.reset();
            return nullptr;
        }
        backend_->SetPort(static_cast<uint16_t>(port), value, value > 0xFF ? PortWidth::DWord : PortWidth::Byte);
    }
    for (const std::string& assignment : memory_) {
        uint32_t address = 0;
        uint32_t value = 0;
        if (!ParseAssignment(assignment, address, value)) {
            backendError_ =
                Fail(kExitUsage, "--memory wants ADDRESS=VALUE, e.g. 0xFDAE04F8=0x2; got '" + assignment + "'");
            backend_.reset();
            return nullptr;
        }
        backend_->SetMemory(address, value);
    }
    backend_->TakeAccesses(); // the scripting above is not the drawer's doing
    return backend_.get();
}

int Tool::CallDrawer(const std::string& function, const std::string& drawerId) {
    DrawerBackend* backend = Backend();
    if (backend == nullptr) {
        return backendError_;
    }
    const uint64_t origin = backend->NowMicros();
    const bool kick = function == "OpenCash";
    const int result = kick ? backend->OpenCash(drawerId.c_str()) : backend->GetCashStatus(drawerId.c_str());
    return Report(function, drawerId, result, kick ? KickOutcome(result) : StatusOutcome(result), origin,
                  backend->TakeAccesses());
}

int Tool::Report(const std::string& function, const std::string& drawerId, int result, const Outcome& outcome,
                 uint64_t origin, const std::vector<sim::AccessRecord>& accesses) {
    const CatalogueRow* row = RowOf(drawerId);
    const bool kick = function.rfind("OpenCash", 0) == 0;
    const bool drawLine = backend_->Simulated() && kick && row != nullptr && result == CASH_DRAWER_KICKED;
    const uint64_t origin0 = accesses.empty() ? origin : std::min(origin, accesses.front().timeMicros);
    const uint64_t end = backend_->NowMicros();

    if (json_) {
        json report{{"function", function},     {"drawerId", drawerId},
                    {"result", result},         {"meaning", outcome.meaning},
                    {"simulated", backend_->Simulated()}};
        if (backend_->Simulated()) {
            json items = json::array();
            for (const sim::AccessRecord& access : accesses) {
                items.push_back(AccessJson(access, origin0));
            }
            report["accesses"] = items;
        }
        if (drawLine) {
            const DriveLine line = row->method->driveLine(*row);
            json pulses = json::array();
            for (const Pulse& pulse : PulsesOf(FollowDriveLine(accesses, line))) {
                pulses.push_back({{"level", pulse.level},
                                  {"fromMs", static_cast<double>(pulse.fromMicros - origin0) / 1000.0},
                                  {"lengthMs", static_cast<double>(pulse.lengthMicros) / 1000.0}});
            }
            report["driveLine"] = {{"where", DescribeDriveLine(line)}, {"pulses", pulses}};
        }
        out_ << report.dump(2) << "\n";
    } else {
        if (backend_->Simulated()) {
            out_ << function << "(\"" << drawerId << "\") on the simulated terminal:\n";
            for (const sim::AccessRecord& access : accesses) {
                out_ << "  " << sim::FormatAccess(access, origin0) << "\n";
            }
        }
        out_ << function << "(\"" << drawerId << "\") = " << result << ": " << outcome.meaning << "\n";
        if (drawLine) {
            out_ << "\n" << DrawTimingDiagram(FollowDriveLine(accesses, row->method->driveLine(*row)), origin0, end, row->method->driveLine(*row));
        }
    }

    if (outcome.exitCode == kExitUnknownDrawer) {
        Fail(kExitUnknownDrawer, "'" + drawerId + "' is not a drawer identifier " + function +
                                     " knows (see 'cashdrawer list')");
    } else if (outcome.exitCode == kExitUnreachable) {
        Fail(kExitUnreachable, "the drawer's hardware could not be reached: " + backend_->UnreachableHint());
    }
    return outcome.exitCode;
}

std::string Timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::tm* local = std::localtime(&seconds); // one thread here
    char text[40] = "?";
    if (local != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
    }
    char withMillis[48];
    std::snprintf(withMillis, sizeof withMillis, "%s.%03d", text, static_cast<int>(millis));
    return withMillis;
}

int Tool::Watch(const std::string& drawerId) {
    DrawerBackend* backend = Backend();
    if (backend == nullptr) {
        return backendError_;
    }
    interrupted = 0;
    std::signal(SIGINT, OnInterrupt);
    int previous = -100;
    unsigned lines = 0;
    while (interrupted == 0) {
        const int state = backend->GetCashStatus(drawerId.c_str());
        backend->TakeAccesses();
        const Outcome outcome = StatusOutcome(state);
        if (outcome.exitCode != kExitSuccess) {
            return Report("GetCashStatus", drawerId, state, outcome, backend->NowMicros(), {});
        }
        if (state != previous) {
            if (json_) {
                out_ << json{{"time", Timestamp()}, {"drawerId", drawerId}, {"result", state}}.dump() << "\n";
            } else {
                out_ << Timestamp() << "  " << drawerId << "  " << state << " (" << outcome.meaning << ")\n";
            }
            out_.flush();
            previous = state;
            if (count_ != 0 && ++lines >= count_) {
                break;
            }
        }
        SystemClock().SleepMs(intervalMs_);
    }
    return kExitSuccess;
}

int Tool::Default(const std::string& which) {
    DrawerBackend* backend = Backend();
    if (backend == nullptr) {
        return backendError_;
    }
    // 0 means "nothing chosen" as well as a drawer state of 0: tell which.
    ConfigFile config(SystemProfileStore());
    const std::optional<std::string> chosen = config.ReadChosenDrawer();
    const uint64_t origin = backend->NowMicros();
    const bool kick = which == "open";
    const int result = kick ? backend->OpenCashDefault() : backend->GetCashStatusDefault();
    const std::string function = kick ? "OpenCashDefault" : "GetCashStatusDefault";
    if (!chosen) {
        const std::string path = config.BuildConfigPath();
        if (json_) {
            out_ << json{{"function", function}, {"result", result}, {"meaning", "no drawer chosen"}, {"file", path}}
                        .dump(2)
                 << "\n";
        } else {
            out_ << function << "() = " << result << ": no drawer chosen; the defaults were written to " << path
                 << " (the next call acts on RN340_CashA)\n";
        }
        return kExitSuccess;
    }
    return Report(function, *chosen, result, kick ? KickOutcome(result) : StatusOutcome(result), origin,
                  backend->TakeAccesses());
}

int Tool::ConfigShow() {
    ConfigFile config(SystemProfileStore());
    const std::string path = config.BuildConfigPath();
    ProfileStore& store = SystemProfileStore();
    const std::string chosenKey = store.ReadString(path, "CashDrawer_Machine", "CurrentCashDrawer");
    const std::optional<std::string> drawerId = config.ReadChosenDrawer();
    const CatalogueRow* row = drawerId ? RowOf(*drawerId) : nullptr;

    json report{{"file", path}, {"chosenKey", chosenKey}};
    std::string resolution;
    if (!drawerId) {
        resolution = "no drawer chosen: the next Default call writes the defaults and returns 0";
    } else if (drawerId->empty()) {
        resolution = "[CashDrawerList] has no key '" + chosenKey + "': the Default calls return -1";
    } else if (row == nullptr) {
        resolution = "'" + *drawerId + "' is not a drawer identifier: the Default calls return -1";
    } else {
        resolution = std::string(row->method->description);
    }
    report["drawerId"] = drawerId.value_or("");
    report["resolution"] = resolution;

    std::string serialLine;
    if (row != nullptr && row->method == &kSerialDrawer) {
        const SerialSettings settings = config.ReadSerialSettings(row->drawerId);
        report["serial"] = {{"port", SerialPortName(settings.ComNuM)},
                            {"ComNuM", settings.ComNuM},
                            {"Baudint", settings.Baudint},
                            {"baudRate", SupportedBaudRate(settings.Baudint)}};
        serialLine = SerialPortName(settings.ComNuM) + " at " + std::to_string(SupportedBaudRate(settings.Baudint)) +
                     " baud ([" + row->drawerId + "] ComNuM=" + std::to_string(settings.ComNuM) +
                     ", Baudint=" + std::to_string(settings.Baudint) + ")";
    }
    if (json_) {
        out_ << report.dump(2) << "\n";
        return kExitSuccess;
    }
    out_ << "File:        " << path << "\n";
    out_ << "Chosen key:  " << (chosenKey.empty() ? "(none)" : chosenKey) << "   [CashDrawer_Machine] CurrentCashDrawer\n";
    if (drawerId && !drawerId->empty()) {
        out_ << "Drawer:      " << *drawerId << "   [CashDrawerList] " << chosenKey << "\n";
    }
    out_ << "Resolves to: " << resolution << "\n";
    if (!serialLine.empty()) {
        out_ << "Serial port: " << serialLine << "\n";
    }
    return kExitSuccess;
}

int Tool::ConfigInit() {
    ConfigFile config(SystemProfileStore());
    config.WriteDefaultConfiguration();
    const std::string path = config.BuildConfigPath();
    if (SystemProfileStore().ReadString(path, "CashDrawer_Machine", "CurrentCashDrawer").empty()) {
        return Fail(kExitUnreachable, "could not write " + path);
    }
    if (json_) {
        out_ << json{{"file", path}, {"written", true}}.dump(2) << "\n";
    } else {
        out_ << "Wrote the default entries to " << path << " (CurrentCashDrawer=RN340_A)\n";
    }
    return kExitSuccess;
}

} // namespace

int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err, const BackendFactory& makeBackend) {
    try {
        return Tool(out, err, makeBackend).Run(argc, argv);
    } catch (const std::exception& error) {
        err << "cashdrawer: " << error.what() << "\n";
        return kExitUnreachable;
    }
}

} // namespace cashdrawer::cli
