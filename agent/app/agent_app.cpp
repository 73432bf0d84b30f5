#include "app/agent_app.h"

#include "watch/agent.h"
#include "bridge/bridge_service.h"
#include "fleet/fleet_service.h"
#include "fleet/fleet_view.h"
#include "fleet/fleet_publisher.h"
#include "journal/journal.h"
#include "journal/journal_alarms.h"
#include "journal/journal_line.h"
#include "bridge/pairing.h"
#include "app/local_channel.h"
#include "app/serve.h"
#include "app/service.h"
#include "core/settings.h"
#include "watch/statistics.h"
#include "watch/statistics_keeper.h"
#include "watch/system_log.h"

#include "cash_drawer_version.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <fstream>

namespace cashdrawer::agent {

// "seq 7  2026-12-07T10:15:02.120Z  opened  drawer=RN340_CashA raw=0"
std::string DescribeEvent(const JournalledEvent& event) {
    std::string text = "seq " + std::to_string(event.seq) + "  " + event.time + "  " + event.kind;
    for (const auto& [key, value] : event.fields.items()) {
        text += "  " + key + "=" + (value.is_string() ? value.get<std::string>() : value.dump());
    }
    return text;
}

namespace {

// The serve command's whole run, up to the loop and after it.
int Serve(const std::string& settingsFile, ServeWait& wait, std::ostream& err) {
    std::string error;
    const auto settings = ReadAgentSettings(settingsFile, error);
    if (!settings) {
        err << "cashdrawer-agent: " << error << "\n";
        return kExitSettings;
    }
    for (const std::string& warning : settings->warnings) {
        err << "cashdrawer-agent: " << warning << "\n";
    }
    auto drawers = LoadDrawerLibrary(settings->library, error);
    if (!drawers) {
        err << "cashdrawer-agent: the drawer library cannot be loaded: " << error << "\n";
        return kExitLibrary;
    }
    for (const WatchedDrawer& drawer : settings->drawers) {
        if (drawers->GetCashStatus(drawer.id) == -1) {
            err << "cashdrawer-agent: " << settings->file << ": [Agent] Drawers: " << drawer.id
                << " is not a drawer whose state the library reads (" << drawers->LastError() << ")\n";
            return kExitSettings;
        }
    }
    Journal::OpenStatus status = Journal::OpenStatus::Unusable;
    JournalOptions journalOptions{settings->journalFolder, settings->journalFileBytes};
    // What the head office acknowledged is evidence of the journal's end,
    // whether or not this run publishes.
    journalOptions.acknowledgedSeq = MakeFolderAckStore(settings->journalFolder)->Load();
    journalOptions.folderMayBeShared = settings->journalFolderShared;
    auto journal = Journal::Open(journalOptions, status, error);
    if (!journal) {
        err << "cashdrawer-agent: " << settings->file << ": [Agent] JournalFolder=" << settings->journalFolder << ": "
            << error << "\n";
        return status == Journal::OpenStatus::HeldByAnother ? kExitJournalHeld : kExitJournalUnusable;
    }
    SystemAgentClock clock;
    Agent agent(*settings, *drawers, *journal, clock);
    agent.OnEvent([&err](const JournalledEvent& event) { err << DescribeEvent(event) << "\n" << std::flush; });
    agent.OnEvent([&err, folder = settings->journalFolder](const JournalledEvent& event) {
        std::string failure;
        if (IsJournalAlarm(event.kind) && !RecordJournalAlarm(folder, event, failure)) {
            err << "cashdrawer-agent: the alarm at seq " << event.seq << " stays in the journal only: " << failure << "\n";
        }
    });
    // The system's log too, for the fleet tools a chain runs already.
    const std::unique_ptr<SystemLog> systemLog = OpenSystemLog();
    agent.OnEvent([&systemLog](const JournalledEvent& event) { systemLog->Write(SystemLogEntryOf(event)); });
    const auto log = [&err](const std::string& line) { err << line << "\n" << std::flush; };
    // The statistics, counted on from their snapshot and kept as events are
    // journalled (before the fleet's and the bridge's listeners are added:
    // they answer with the figures; the fleet's publisher reads on from them).
    StatisticsKeeper statistics(settings->journalFolder);
    if (const std::string said = statistics.Load().Describe(); !said.empty()) {
        log("cashdrawer-agent: " + said);
    }
    agent.OnEvent([&statistics](const JournalledEvent& event) { statistics.Add(event); });
    // The console's view of the drawers, kept as events are journalled, so
    // that `status` never waits behind a kick that holds the agent.
    AgentMutex boardLock;
    DrawerBoard board(settings->drawers);
    agent.OnEvent([&board, &boardLock](const JournalledEvent& event) {
        std::lock_guard lock(boardLock);
        board.Add(event);
    });
    // Each event to the local channel's followers.
    EventHub localEvents;
    agent.OnEvent([&localEvents](const JournalledEvent& event) { localEvents.Publish(event); });
    // The fleet publisher reads the journal on its own thread; a broker
    // that cannot be reached, or settings its client cannot use, never keep
    // the agent from serving its till.
    std::unique_ptr<FleetService> fleet;
    Json fleetStatus{{"publisher", "off"}};
    if (settings->mqtt.Enabled()) {
        const Statistics countedSoFar = statistics.Figures();
        fleet = StartFleetService(*settings, agent, drawers->Version(), log, error, &countedSoFar);
        if (fleet) {
            log("cashdrawer-agent: fleet: publishing to " + settings->mqtt.BrokerUrl() + " as cashdrawer/v1/" +
                settings->mqtt.site + "/" + settings->mqtt.terminal);
        } else {
            log("cashdrawer-agent: " + settings->file + ": [Mqtt] Broker=" + settings->mqtt.BrokerUrl() +
                ": nothing is published: " + error);
            fleetStatus = Json{{"publisher", "failed"}, {"cause", error}};
        }
    }
    const auto fleetHealth = [&fleet, fleetStatus]() -> Json {
        if (!fleet) {
            return fleetStatus;
        }
        const Json status = fleet->Status();
        Json told{{"publisher", "mqtt"}, {"state", status.value("state", "connecting")}};
        if (status.contains("cause")) {
            told["cause"] = status["cause"];
        }
        if (status.contains("nextAttempt")) {
            told["nextAttempt"] = status["nextAttempt"];
        }
        return told;
    };
    agent.OnHealthChange([&err, &fleet](const AgentHealth& health) {
        if (fleet) {
            fleet->SetJournalHealth(health.journalOk, health.journalFailure);
        }
        if (health.journalOk) {
            err << "cashdrawer-agent: the journal takes lines again\n" << std::flush;
        } else {
            err << "cashdrawer-agent: the journal is failing, events wait unpublished: " << health.journalFailure << "\n"
                << std::flush;
        }
    });
    // The bridge's threads kick through the agent too: each step of the
    // serve loop and each kick holds this lock.
    AgentMutex agentLock;
    std::unique_ptr<BridgeService> bridge;
    if (settings->bridgePort != 0) {
        bridge = StartBridgeService(*settings, agent, agentLock, statistics, drawers->Version(), log, error, fleetHealth);
        if (!bridge) {
            err << "cashdrawer-agent: " << settings->file << ": [Agent] BridgePort=" << settings->bridgePort
                << ": the bridge cannot listen: " << error << "\n";
            return kExitBridge;
        }
        log("cashdrawer-agent: web tills reach the bridge at http://127.0.0.1:" + std::to_string(bridge->Port()) +
            " (pair them with: cashdrawer-agent pair)");
    }
    const auto exclusive = [&agentLock](const std::function<void()>& step) {
        std::lock_guard lock(agentLock);
        step();
    };
    {
        std::lock_guard lock(agentLock);
        agent.Start();
    }
    // The technician's commands from another terminal of the till
    // (`cashdrawer-agent kick`, `status`, `events --follow`).
    LocalCommands localCommands(LocalCommands::Parts{
        [&](const std::string& id, const std::string& by, bool confirm, int timeoutMs) {
            KickAnswer answer;
            exclusive([&] { answer = agent.Kick(id, by, confirm, timeoutMs); });
            return answer;
        },
        [&board, &boardLock] {
            std::lock_guard lock(boardLock);
            return board.All();
        },
        &localEvents});
    const std::string localAddress = LocalChannelAddress(settings->journalFolder);
    std::unique_ptr<LocalChannel> localChannel = StartLocalChannel(localAddress, localCommands, error);
    log(localChannel ? "cashdrawer-agent: kick, status and events --follow reach this agent at " + localAddress
                     : "cashdrawer-agent: no local channel (kick, status and events reach this agent through the "
                       "console or the bridge only): " +
                           error);
    BackgroundJobs consoleKicks;
    Console console(agent,
                    Console::Parts{exclusive,
                                   [&board, &boardLock] {
                                       std::lock_guard lock(boardLock);
                                       return board.All();
                                   },
                                   [&statistics] { return statistics.Figures().ToText(); },
                                   [&consoleKicks](std::function<void()> job) { consoleKicks.Run(std::move(job)); }},
                    log);
    ServeLoop(agent, clock, wait, settings->pollMs, log, exclusive, &console);
    localChannel.reset(); // its kicks under way end first, each journalled
    consoleKicks.Wait();  // a kick typed before the stop is journalled before it
    {
        std::lock_guard lock(agentLock);
        agent.Stop("asked to stop");
    }
    if (fleet) {
        fleet->Stop();
    }
    if (std::string failure; !statistics.Save(failure)) {
        log("cashdrawer-agent: the statistics snapshot cannot be saved (the next start counts more of the journal): " +
            failure);
    }

    const AgentHealth health = agent.Health();
    if (!health.journalOk) {
        log("cashdrawer-agent: the journal failed: " + health.journalFailure + "; " +
            std::to_string(health.eventsWaiting) + " events were not journalled");
    }
    return kExitOk;
}

// A journal found altered or cut is not one that could not be read at all.
int ExitCodeOf(const JournalReport& report) {
    return report.unreadable ? kExitJournalUnreadable : kExitJournalAltered;
}

// A long journal takes a while to read whole: a line every few seconds
// says how far it has come (to the error stream, which a script's parse
// of the verdict on the output leaves alone).
constexpr auto kProgressEvery = std::chrono::seconds(3);

int Verify(const std::string& folder, std::ostream& out, std::ostream& err) {
    auto lastTold = std::chrono::steady_clock::now();
    const JournalReport report = ReadJournal(folder, [](const JournalledEvent&) {}, [&](const JournalProgress& progress) {
        if (const auto now = std::chrono::steady_clock::now(); now - lastTold >= kProgressEvery) {
            lastTold = now;
            err << "cashdrawer-agent: checked " << progress.lines << " lines (to seq " << progress.lastSeq << "), file "
                << progress.file << " of " << progress.files << "\n"
                << std::flush;
        }
    });
    const bool whole = report.ok && report.alarms.empty();
    (whole ? out : err) << (whole ? "" : "cashdrawer-agent: ") << folder << ": " << report.Describe() << "\n";
    return whole ? kExitOk : report.ok ? kExitJournalAlarms : ExitCodeOf(report);
}

// The account that acknowledges an alarm, as the alarms file records it.
std::string AccountName() {
    for (const char* variable : {"USER", "USERNAME", "LOGNAME"}) {
        if (const char* name = std::getenv(variable); name != nullptr && *name != '\0') {
            return name;
        }
    }
    return "";
}

int Alarms(const std::string& folder, uint64_t acknowledge, std::ostream& out, std::ostream& err) {
    if (acknowledge != 0) {
        std::string error;
        switch (AcknowledgeJournalAlarm(folder, acknowledge, AccountName(),
                                        FormatUtcMillis(SystemAgentClock().UnixMillis()), error)) {
        case Acknowledged::Done: out << "acknowledged the alarm at seq " << acknowledge << "\n"; return kExitOk;
        case Acknowledged::AlreadyAcknowledged:
            out << "the alarm at seq " << acknowledge << " was acknowledged before\n";
            return kExitOk;
        case Acknowledged::NoSuchAlarm:
            err << "cashdrawer-agent: " << folder << ": no alarm at seq " << acknowledge << " (see: journal alarms)\n";
            return kExitUsage;
        case Acknowledged::Failed:
            err << "cashdrawer-agent: the acknowledgement cannot be stored: " << error << "\n";
            return kExitJournalUnusable;
        }
    }
    const auto alarms = ReadJournalAlarms(folder);
    for (const JournalAlarm& alarm : alarms) {
        out << "seq " << alarm.seq << "  " << alarm.time << "  " << alarm.kind << "  "
            << (alarm.Open() ? "OPEN" : "acknowledged by " + alarm.acknowledgedBy + " " + alarm.acknowledgedTime) << "\n    "
            << alarm.problem << "\n";
    }
    if (alarms.empty()) {
        out << "no journal alarm\n";
    }
    return kExitOk;
}

int Show(const std::string& folder, uint64_t since, bool json, std::ostream& out, std::ostream& err) {
    const JournalReport report = ReadJournal(folder, [&](const JournalledEvent& event) {
        if (event.seq >= since) {
            out << (json ? event.line : DescribeEvent(event)) << "\n";
        }
    });
    if (!report.ok) {
        err << "cashdrawer-agent: " << folder << ": " << report.Describe() << "\n";
        return ExitCodeOf(report);
    }
    return kExitOk;
}

// From the agent's snapshot and the lines after it: as fast on a journal
// of years as on a new one. (Whether every line is as written is verify's
// to say: it reads them all.)
int Stats(const std::string& folder, bool json, std::ostream& out, std::ostream& err) {
    if (const std::string unreadable = UnreadableFolderProblem(folder); !unreadable.empty()) {
        err << "cashdrawer-agent: " << folder << ": " << unreadable << "\n";
        return kExitJournalUnreadable;
    }
    StatisticsKeeper keeper(folder);
    const auto load = keeper.Load();
    const Statistics statistics = keeper.Figures();
    out << (json ? statistics.ToJson().dump(2) + "\n" : statistics.ToText());
    if (const std::string said = load.Describe(); !said.empty()) {
        err << "cashdrawer-agent: " << folder << ": " << said << "\n";
    }
    return load.journal.empty() ? kExitOk : kExitJournalAltered;
}

// Pairing codes and paired origins live beside the journal, in the
// folder only the agent's account writes.
int Pair(const std::string& folder, bool list, const std::string& revoke, std::ostream& out, std::ostream& err) {
    auto store = MakeFolderPairingStore(folder);
    std::string error;
    if (list) {
        const auto paired = store->Paired();
        for (const PairedOrigin& entry : paired) {
            out << entry.origin << "  paired " << FormatUtcMillis(entry.pairedUnixMillis) << "\n";
        }
        if (paired.empty()) {
            out << "no web till is paired\n";
        }
        return kExitOk;
    }
    if (!revoke.empty()) {
        if (!RevokePairing(*store, revoke, error)) {
            err << "cashdrawer-agent: " << error << "\n";
            return kExitPairing;
        }
        out << "revoked " << revoke << ": its token opens nothing now\n";
        return kExitOk;
    }
    const auto code = IssuePairingCode(*store, SystemAgentClock().UnixMillis(), error);
    if (!code) {
        err << "cashdrawer-agent: the pairing code cannot be stored: " << error << "\n";
        return kExitPairing;
    }
    out << "pairing code: " << *code << "\n"
        << "valid for 2 minutes, once: enter it on the web till that is to open the drawers\n";
    return kExitOk;
}

// What the settings mean, as the agent would take them, and whether each
// drawer is one the library reads: for a technician before a restart, and
// for a deployment script (non-zero when anything is wrong).
int Check(const std::string& settingsFile, std::ostream& out, std::ostream& err) {
    std::string error;
    const auto settings = ReadAgentSettings(settingsFile, error);
    if (!settings) {
        err << "cashdrawer-agent: " << error << "\n";
        return kExitSettings;
    }
    const auto milliseconds = [](uint32_t ms, const char* zero) {
        return ms == 0 ? std::string(zero) : std::to_string(ms) + " ms";
    };
    out << "settings: " << settings->file << "\n"
        << "poll: every " << settings->pollMs << " ms\n"
        << "left open: an alarm after " << milliseconds(settings->leftOpenMs, "never (0: no alarm)") << "\n"
        << "journal: " << settings->journalFolder << " (files of " << settings->journalFileBytes << " bytes"
        << (settings->journalFolderShared ? ", in a folder other accounts may write" : "") << ")\n"
        << "bridge: "
        << (settings->bridgePort == 0 ? std::string("off") : "127.0.0.1 and [::1], port " + std::to_string(settings->bridgePort))
        << ", kicks of one drawer at least " << settings->kickGuardMs << " ms apart\n"
        << "fleet: "
        << (settings->mqtt.Enabled() ? settings->mqtt.BrokerUrl() + " as cashdrawer/v1/" + settings->mqtt.site + "/" +
                                           settings->mqtt.terminal
                                     : std::string("off (no [Mqtt] Broker)"))
        << "\n";
    int code = kExitOk;
    auto drawers = LoadDrawerLibrary(settings->library, error);
    if (!drawers) {
        err << "cashdrawer-agent: the drawer library cannot be loaded: " << error << "\n";
        code = kExitLibrary;
    } else {
        out << "library: " << drawers->Location() << " (" << drawers->Version() << ")\n";
    }
    for (const WatchedDrawer& drawer : settings->drawers) {
        out << "drawer " << drawer.id << ": open when its state bit is "
            << (drawer.openWhen ? std::to_string(*drawer.openWhen) : std::string("not set (state changes only)"));
        if (drawers && drawers->GetCashStatus(drawer.id) == -1) {
            out << "; NOT a drawer whose state the library reads (" << drawers->LastError() << ")";
            code = kExitSettings;
        }
        out << "\n";
    }
    for (const std::string& warning : settings->warnings) {
        err << "cashdrawer-agent: " << warning << "\n";
    }
    if (code == kExitOk && !settings->warnings.empty()) {
        code = kExitSettingsWarnings;
    }
    out << (code == kExitOk ? "the settings are good\n" : "the settings need a look (above)\n");
    return code;
}

} // namespace

int RunAgentApp(int argc, char** argv, std::ostream& out, std::ostream& err) {
    CLI::App app{"cashdrawer-agent: watches the terminal's cash drawers and keeps a journal of every event"};
    app.set_version_flag("--version", CASH_DRAWER_VERSION);
    app.require_subcommand(1);
    app.fallthrough(); // --config after the command too: `serve --config FILE`
    std::string settingsFile = DefaultSettingsFile();
    app.add_option("--config", settingsFile, "the settings file (default " + settingsFile + ")");

    CLI::App* serve = app.add_subcommand("serve", "watch the drawers in the foreground, logging to stderr");
    bool noConsole = false;
    serve->add_flag("--no-console", noConsole, "do not read commands from standard input");

    CLI::App* check = app.add_subcommand("check", "say what the settings mean; non-zero when something is wrong");

    CLI::App* journal = app.add_subcommand("journal", "check or print the journal");
    journal->require_subcommand(1);
    std::string folder;
    CLI::App* verify = journal->add_subcommand("verify", "check the hash chain; name the first line altered");
    verify->add_option("--folder", folder, "the journal folder (default: the settings' JournalFolder)");
    verify->add_option("FOLDER", folder, "the same, as it was first given (kept for scripts)");
    CLI::App* show = journal->add_subcommand("show", "print the journal");
    uint64_t since = 0;
    bool json = false;
    show->add_option("--since", since, "from this seq on");
    show->add_flag("--json", json, "the lines as written (JSON Lines)");
    show->add_option("--folder", folder, "the journal folder (default: the settings' JournalFolder)");

    CLI::App* alarms = journal->add_subcommand("alarms", "the journal's alarms (lines lost or set aside); acknowledge one");
    uint64_t acknowledge = 0;
    alarms->add_option("--acknowledge", acknowledge, "the alarm's seq: it leaves the health")->check(CLI::PositiveNumber);
    alarms->add_option("--folder", folder, "the journal folder (default: the settings' JournalFolder)");

    CLI::App* stats = app.add_subcommand("stats", "the drawers' statistics, from the journal");
    stats->add_flag("--json", json, "one JSON object");
    stats->add_option("--folder", folder, "the journal folder (default: the settings' JournalFolder)");

    CLI::App* pair = app.add_subcommand("pair", "a one-time code that pairs a web till's origin (valid 2 minutes)");
    bool list = false;
    std::string revoke;
    pair->add_flag("--list", list, "the paired origins");
    pair->add_option("--revoke", revoke, "forget ORIGIN's token");
    pair->add_option("--folder", folder, "the agent's journal folder (default: the settings' JournalFolder)");

    CLI::App* fleet =
        app.add_subcommand("fleet", "the head office's view: every terminal's health and gaps, from an MQTT broker");
    fleet->require_subcommand(1);
    CLI::App* watch = fleet->add_subcommand("watch", "subscribe to cashdrawer/v1/# and print a line per terminal");
    FleetWatchOptions watchOptions;
    watch->add_option("--broker", watchOptions.broker,
                      "mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (Windows: ws:// or wss://HOST[:PORT][/PATH])")
        ->required();
    watch->add_option("--ca-file", watchOptions.caFile, "the CA of the broker's certificate (TLS)");
    watch->add_option("--credentials", watchOptions.credentialsFile, "a file with [Mqtt] Username= and Password=");
    watch->add_option("--certificate", watchOptions.certificateFile, "a client certificate for the broker (PEM; TLS)");
    watch->add_option("--key", watchOptions.keyFile, "the client certificate's private key (PEM)");
    watch->add_flag("--json", watchOptions.json, "a JSON object a line, for scripts");
    watch->add_option("--every", watchOptions.everySeconds, "print this often, in seconds (0: only at the end)")
        ->capture_default_str();
    watch->add_option("--for", watchOptions.forSeconds, "stop after this many seconds (0: when interrupted)")
        ->capture_default_str();

    // Through the running agent, which journals each kick with the account
    // that asked for it.
    CLI::App* kick = app.add_subcommand("kick", "kick a drawer through the running agent (journalled as this account's)");
    std::string drawerId;
    bool confirm = false;
    int timeoutMs = 5000;
    kick->add_option("ID", drawerId, "the drawer, as the settings' Drawers name it")->required();
    kick->add_flag("--confirm", confirm, "wait for its sensor to say it opened; exit code 14 when it does not");
    kick->add_option("--timeout", timeoutMs, "how long --confirm waits, in ms")->check(CLI::Range(0, 60000))->capture_default_str();
    CLI::App* status = app.add_subcommand("status", "the drawers' states, as the running agent has journalled them");
    status->add_option("ID", drawerId, "one drawer (default: every one)");
    CLI::App* events = app.add_subcommand("events", "the running agent's events as they are journalled");
    bool follow = false;
    events->add_flag("--follow", follow, "print each event as it comes, until interrupted")->required();

    CLI::App* service = app.add_subcommand("service", "Windows: install, uninstall, start or stop the service");
    std::string action;
    service->add_option("ACTION", action, "install, uninstall, start, stop (run: the service's own entry)")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        return code == 0 ? kExitOk : kExitUsage;
    }

    // The journal folder from the settings, where the command was given none.
    const auto journalFolder = [&](std::string& chosen) {
        if (!chosen.empty()) {
            return true;
        }
        std::string error;
        const auto settings = ReadAgentSettings(settingsFile, error);
        if (!settings) {
            err << "cashdrawer-agent: " << error << " (or name the journal folder)\n";
            return false;
        }
        chosen = settings->journalFolder;
        return true;
    };
    if (serve->parsed()) {
        auto wait = MakeSystemServeWait(!noConsole);
        return Serve(settingsFile, *wait, err);
    }
    if (check->parsed()) {
        return Check(settingsFile, out, err);
    }
    if (kick->parsed() || status->parsed() || events->parsed()) {
        if (std::any_of(drawerId.begin(), drawerId.end(), [](unsigned char c) { return c <= ' ' || c == 0x7F; })) {
            err << "cashdrawer-agent: a drawer identifier has no spaces or control characters\n";
            return kExitUsage;
        }
        if (!journalFolder(folder)) {
            return kExitSettings;
        }
        const std::string request = kick->parsed()
                                        ? "kick " + drawerId + (confirm ? " --confirm" : "") + " --timeout " +
                                              std::to_string(timeoutMs)
                                    : status->parsed() ? "status " + drawerId
                                                       : "events --follow";
        return RunLocalCommand(LocalChannelAddress(folder), request, out, err);
    }
    if (watch->parsed()) {
        return WatchFleet(watchOptions, out, err) == 0 ? kExitOk : kExitUsage;
    }
    if (pair->parsed()) {
        return journalFolder(folder) ? Pair(folder, list, revoke, out, err) : kExitSettings;
    }
    if (alarms->parsed()) {
        return journalFolder(folder) ? Alarms(folder, acknowledge, out, err) : kExitSettings;
    }
    if (verify->parsed() || show->parsed() || stats->parsed()) {
        if (!journalFolder(folder)) {
            return kExitSettings;
        }
        return verify->parsed() ? Verify(folder, out, err)
               : show->parsed() ? Show(folder, since, json, out, err)
                                : Stats(folder, json, out, err);
    }
    // A service has no console: it logs to cashdrawer-agent.log beside its
    // settings file.
    const ServeFunction serveAsService = [&](ServeWait& wait) {
        std::filesystem::path logFile = std::filesystem::path(std::u8string(settingsFile.begin(), settingsFile.end()));
        logFile.replace_filename("cashdrawer-agent.log");
        std::ofstream log(logFile, std::ios::app);
        return Serve(settingsFile, wait, log.is_open() ? static_cast<std::ostream&>(log) : err);
    };
    return ServiceCommand(action, settingsFile, serveAsService, out, err);
}

} // namespace cashdrawer::agent
