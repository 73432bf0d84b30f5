#include "cli/cli_app.h"

#include "cash_drawer_version.h"
#include "cli/renderers.h"
#include "config/nearest_name.h"
#include "config/profile_store.h"
#include "platform/clock.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <csignal>
#include <ostream>
#include <string>
#include <vector>

namespace cashdrawer::cli {
namespace {

// "no option --simulte: did you mean --simulate?" for the first argument
// that names no option of the tool or of any command; empty when none.
std::string UnknownOption(const CLI::App& app, int argc, const char* const* argv) {
    std::vector<std::string> names;
    const auto addOptions = [&names](const CLI::App& from) {
        for (const CLI::Option* option : from.get_options()) {
            for (const std::string& name : option->get_lnames()) {
                names.push_back("--" + name);
            }
        }
    };
    addOptions(app);
    for (const CLI::App* command : app.get_subcommands({})) {
        addOptions(*command);
        for (const CLI::App* inner : command->get_subcommands({})) {
            addOptions(*inner);
        }
    }
    for (int i = 1; i < argc; ++i) {
        std::string given = argv[i];
        given = given.substr(0, given.find('='));
        if (!given.starts_with("--") || std::find(names.begin(), names.end(), given) != names.end()) {
            continue;
        }
        const auto near = NearestNames(given, names);
        return "no option " + given + (near.empty() ? "" : ": did you mean " + OneOf(near) + "?") +
               " (cashdrawer COMMAND --help)";
    }
    return "";
}

constexpr char kExitCodeHelp[] =
    "Exit codes:\n"
    "  0  success (the kick ran, or a state was read)\n"
    "  1  usage error\n"
    "  2  the drawer identifier is unknown to the function\n"
    "  3  the drawer's hardware could not be reached (doctor: something the drawer needs is missing)\n"
    "  4  the time ran out (wait; open --confirm: the sensor did not change)\n";

volatile std::sig_atomic_t interrupted = 0;
void OnInterrupt(int) { interrupted = 1; }

// One whole number in C notation that fits 32 bits; nothing may follow it.
bool ParseWord(const std::string& text, uint32_t& word) {
    try {
        std::size_t used = 0;
        const unsigned long long number = std::stoull(text, &used, 0);
        if (used != text.size() || number > 0xFFFFFFFFull || text.find('-') != std::string::npos) {
            return false;
        }
        word = static_cast<uint32_t>(number);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// "PORT=VALUE", numbers in C notation (0x50E=0xFF); DWORD-wide when the
// value does not fit a byte.
bool ParseAssignment(const std::string& text, uint32_t& where, uint32_t& value) {
    const auto equals = text.find('=');
    return equals != std::string::npos && ParseWord(text.substr(0, equals), where) &&
           ParseWord(text.substr(equals + 1), value);
}

class Tool {
public:
    Tool(std::ostream& out, std::ostream& err, const BackendFactory& makeBackend)
        : out_(out), err_(err), makeBackend_(makeBackend) {}

    int Run(int argc, const char* const* argv);

private:
    int List();
    int CallDrawer(const std::string& function, const std::string& drawerId);
    int Wait(const std::string& drawerId);
    int OpenConfirmed(const std::string& drawerId);
    int Doctor(const std::string& drawerId);
    int Watch(const std::string& drawerId);
    int Default(const std::string& which);
    int ConfigShow();
    int ConfigInit();

    // Builds the backend and applies --port and --memory; null after an
    // error message, with the exit code in backendError_.
    DrawerBackend* Backend();
    // Prints the call and, on stderr, what its failure means.
    int Report(const CallReport& report);
    int Fail(int exitCode, const std::string& message) {
        err_ << "cashdrawer: " << message << "\n";
        return exitCode;
    }

    std::ostream& out_;
    std::ostream& err_;
    const BackendFactory& makeBackend_;
    std::unique_ptr<DrawerBackend> backend_;
    std::unique_ptr<Renderer> render_;

    bool json_ = false;
    bool simulate_ = false;
    std::vector<std::string> ports_;
    std::vector<std::string> memory_;
    unsigned intervalMs_ = 500;
    unsigned count_ = 0;
    bool confirm_ = false;
    int timeoutMs_ = 5000;
    int state_ = 0;
    int backendError_ = kExitSuccess;
};

int Tool::Run(int argc, const char* const* argv) {
    CLI::App app{"Kicks a cash drawer open and reads its state through the cash drawer library.", "cashdrawer"};
    app.footer(kExitCodeHelp);
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", std::string("cashdrawer ") + CASH_DRAWER_VERSION, "The tool's version");
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
    open->add_flag("--confirm", confirm_,
                   "Confirm the kick by the drawer's sensor changing (OpenCashConfirmed); exit code 4 when it does not");
    open->add_option("--timeout", timeoutMs_, "With --confirm: milliseconds to wait for the change (default 5000)")
        ->check(CLI::Range(0, 3600000));
    auto* status = app.add_subcommand("status", "Read a drawer's state (GetCashStatus)");
    status->add_option("id", drawerId, "Drawer identifier")->required();
    auto* watch = app.add_subcommand("watch", "Poll a drawer's state and print each change, until Ctrl+C");
    watch->add_option("id", drawerId, "Drawer identifier")->required();
    watch->add_option("--interval", intervalMs_, "Milliseconds between reads")->check(CLI::Range(10u, 3600000u));
    watch->add_option("--count", count_, "Stop after this many lines (the first state included)");
    auto* wait = app.add_subcommand("wait", "Wait until a drawer reaches a state (WaitCashStatus)");
    wait->add_option("id", drawerId, "Drawer identifier")->required();
    wait->add_option("--state", state_, "The state to wait for: 0 or 1")->required()->check(CLI::IsMember({0, 1}));
    wait->add_option("--timeout", timeoutMs_, "Milliseconds to wait at most (default 5000)")->check(CLI::Range(0, 3600000));
    auto* doctor = app.add_subcommand(
        "doctor", "Check everything a drawer (or, without one, the whole terminal) needs; kicks nothing");
    doctor->add_option("id", drawerId, "Drawer identifier; none: the whole terminal");
    auto* byDefault = app.add_subcommand("default", "Act on the drawer chosen in CashDrawerconfig.ini");
    byDefault->add_option("what", which, "open or status")->required()->check(CLI::IsMember({"open", "status"}));
    auto* config = app.add_subcommand("config", "The configuration file CashDrawerconfig.ini in the current directory");
    config->require_subcommand(1);
    auto* show = config->add_subcommand("show", "Which drawer the file chooses, and how it resolves");
    auto* init = config->add_subcommand("init", "Write the default entries");
    // The tool's own options go before or after the command; each command's
    // help names those that apply to it.
    constexpr const char* kOnTerminal =
        "Also: --simulate (a simulated terminal, every access printed), --json (the result as JSON)";
    for (CLI::App* command : {open, status, watch, wait, doctor, byDefault}) {
        command->footer(kOnTerminal);
    }
    for (CLI::App* command : {list, show}) {
        command->footer("Also: --json (the result as JSON)");
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() != 0 && app.get_subcommands().empty()) {
            // No command was recognised: say which there are.
            std::string commands;
            for (const CLI::App* command : app.get_subcommands({})) {
                commands += (commands.empty() ? "" : ", ") + command->get_name();
            }
            const std::string given = argc > 1 && argv[1][0] != '-' ? std::string("'") + argv[1] + "' is not a command; " : "";
            return Fail(kExitUsage, given + "the commands are " + commands + " (cashdrawer --help)");
        }
        if (const std::string unknown = UnknownOption(app, argc, argv); !unknown.empty()) {
            return Fail(kExitUsage, unknown);
        }
        const int code = app.exit(error, out_, err_);
        return code == 0 ? kExitSuccess : kExitUsage;
    }
    if (*open && open->count("--timeout") > 0 && !confirm_) {
        return Fail(kExitUsage, "--timeout goes with --confirm: a plain kick does not wait");
    }
    render_ = json_ ? MakeJsonRenderer(out_) : MakeTextRenderer(out_);

    if (*list) {
        return List();
    }
    if (*open) {
        return confirm_ ? OpenConfirmed(drawerId) : CallDrawer("OpenCash", drawerId);
    }
    if (*wait) {
        return Wait(drawerId);
    }
    if (*doctor) {
        return Doctor(drawerId);
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
    render_->List(ListDrawers());
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
    return backend == nullptr ? backendError_ : Report(cli::CallDrawer(*backend, function, drawerId));
}

int Tool::Report(const CallReport& report) {
    render_->Call(report);
    // Every failure message ends with the library's own words for it.
    const std::string because = report.libraryError.empty() ? "" : " - " + report.libraryError;
    if (report.outcome.exitCode == kExitUnknownDrawer) {
        // The library's words say why (not listed, or listed without a
        // drive line); the tool's own stand in for a library that has none.
        // The library suggests an identifier that differs in case only; a
        // slip of the keys (O for 0, a model without its drawer) is the
        // tool's to catch.
        std::string suggestion;
        if (report.libraryError.find("did you mean") == std::string::npos) {
            std::vector<std::string> ids;
            for (const ListRow& row : ListDrawers()) {
                ids.emplace_back(row.drawerId);
            }
            // (A listed drawer without a line of its own is no slip.)
            const bool listed = std::find(ids.begin(), ids.end(), report.drawerId) != ids.end();
            if (const auto near = NearestNames(report.drawerId, ids); !listed && !near.empty()) {
                suggestion = " (did you mean " + OneOf(near) + "?)";
            }
        }
        Fail(kExitUnknownDrawer, (report.libraryError.empty() ? "'" + report.drawerId +
                                                                    "' is not a drawer identifier " + report.function +
                                                                    " knows"
                                                              : report.libraryError) +
                                     suggestion + " (see 'cashdrawer list')");
    } else if (report.outcome.exitCode == kExitUnreachable) {
        Fail(kExitUnreachable, "the drawer's hardware could not be reached: " +
                                   (report.libraryError.empty() ? report.unreachableHint : report.libraryError));
    } else if (report.outcome.exitCode == kExitUsage) {
        Fail(kExitUsage, report.function + " refused its arguments" + because);
    } else if (report.outcome.exitCode == kExitTimedOut) {
        // Standard output has the result; a script that keeps only the
        // error stream learns why it failed too.
        Fail(kExitTimedOut, report.function + "(\"" + report.drawerId + "\"): " + report.outcome.meaning);
    }
    return report.outcome.exitCode;
}

int Tool::Wait(const std::string& drawerId) {
    DrawerBackend* backend = Backend();
    return backend == nullptr ? backendError_ : Report(WaitForState(*backend, drawerId, state_, timeoutMs_));
}

int Tool::OpenConfirmed(const std::string& drawerId) {
    DrawerBackend* backend = Backend();
    return backend == nullptr ? backendError_ : Report(cli::OpenConfirmed(*backend, drawerId, timeoutMs_));
}

int Tool::Doctor(const std::string& drawerId) {
    DrawerBackend* backend = Backend();
    if (backend == nullptr) {
        return backendError_;
    }
    const DoctorReport report = cli::Doctor(*backend, drawerId);
    render_->Doctor(report);
    if (report.exitCode != kExitSuccess) {
        Fail(report.exitCode, report.libraryError.empty() ? "the health check failed" : report.libraryError);
    }
    return report.exitCode;
}

int Tool::Watch(const std::string& drawerId) {
    DrawerBackend* backend = Backend();
    if (backend == nullptr) {
        return backendError_;
    }
    interrupted = 0;
    std::signal(SIGINT, OnInterrupt);
    // Nothing moves a simulated drawer while it is watched (--port and
    // --memory are set before the first read): its first state is its
    // only one, and a watch for more changes would never end.
    const unsigned count = backend->Simulated() ? 1 : count_;
    if (backend->Simulated() && count_ != 1) {
        err_ << "cashdrawer: nothing moves the simulated drawer while it is watched: its one state is shown\n";
    }
    const std::optional<CallReport> failed =
        cli::Watch(*backend, SystemClock(), {drawerId, intervalMs_, count}, WallClockTimestamp,
                   [] { return interrupted != 0; }, [this](const WatchLine& line) { render_->WatchChange(line); });
    return failed ? Report(*failed) : kExitSuccess;
}

int Tool::Default(const std::string& which) {
    DrawerBackend* backend = Backend();
    if (backend == nullptr) {
        return backendError_;
    }
    const DefaultReport report = CallDefault(*backend, SystemProfileStore(), which == "open");
    if (!report.call) {
        render_->NoneChosen(report);
        return kExitSuccess;
    }
    return Report(*report.call);
}

int Tool::ConfigShow() {
    render_->Config(ShowConfig(SystemProfileStore()));
    return kExitSuccess;
}

int Tool::ConfigInit() {
    const ConfigInitReport report = InitConfig(SystemProfileStore());
    if (!report.written) {
        return Fail(kExitUnreachable, "could not write " + report.file);
    }
    render_->ConfigWritten(report);
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
