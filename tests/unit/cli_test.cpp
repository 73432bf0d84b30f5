// The command-line tool on this platform's simulated terminal: output and
// exit codes, as a technician or a script sees them.
#include "cli/cli_app.h"
#include "sim/virtual_clock.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cash_drawer.h"
#include "cash_drawer_version.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>
#include <unistd.h>

namespace cashdrawer::cli {
namespace {

struct ToolRun {
    int exitCode;
    std::string out;
    std::string err;
};

// Each test works in a fresh current directory of its own. The process id
// keeps two test runs on one machine (two checkouts) out of each other's way.
class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        folder_ = std::filesystem::temp_directory_path() /
                  ("cashdrawer-cli-" + std::to_string(::getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        std::filesystem::current_path(folder_);
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(folder_);
    }

    static ToolRun Cashdrawer(std::vector<const char*> args) {
        args.insert(args.begin(), "cashdrawer");
        std::ostringstream out;
        std::ostringstream err;
        const int code = RunCli(static_cast<int>(args.size()), args.data(), out, err);
        return {code, out.str(), err.str()};
    }

    std::filesystem::path previous_;
    std::filesystem::path folder_;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(Cli, KickOnTheSimulatedTerminalShowsEveryAccessAndThePulse) {
    const ToolRun run = Cashdrawer({"open", "RN340_CashA", "--simulate"});
    EXPECT_EQ(run.exitCode, kExitSuccess) << run.err;
    EXPECT_TRUE(Contains(run.out, "write 0x050E <- 0xF7 (byte)")) << run.out;
    EXPECT_TRUE(Contains(run.out, "OpenCash(\"RN340_CashA\") = 1: kicked")) << run.out;
    EXPECT_TRUE(Contains(run.out, "Drive line: port 0x050E, bit mask 0x08")) << run.out;
    EXPECT_TRUE(Contains(run.out, "low for 512.000 ms")) << run.out;
}

TEST_F(Cli, ResultsAndExitCodes) {
    struct Case {
        std::vector<const char*> args;
        int exitCode;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {{"status", "RN340_CashA", "--simulate", "--port", "0x53A=0xFB"}, kExitSuccess, "= 1: drawer state bit 1", ""},
        {{"status", "RN340_CashA", "--simulate", "--port", "0x53A=0x04"}, kExitSuccess, "= 0: drawer state bit 0", ""},
        {{"status", "RN370_CashB", "--simulate", "--port", "0x5A8=0x40"}, kExitSuccess, "= 1", ""},
        {{"status", "RN2180_CashB", "--simulate", "--memory", "0xFDAE04F8=0x2"}, kExitSuccess, "= 0", ""},
        {{"open", "rn340_casha", "--simulate"}, kExitUnknownDrawer, "= -1", "not a drawer identifier"},
        {{"status", "KV7100_CashB", "--simulate"}, kExitUnknownDrawer, "= -1", "cashdrawer list"},
        {{"open", "DL470_CashA", "--simulate"}, kExitSuccess, "= 1: kicked", ""},
        {{}, kExitUsage, "", "the commands are list, open, status, watch, wait, doctor, default, config"},
        {{"opne", "RN340_CashA"}, kExitUsage, "", "'opne' is not a command; the commands are list, open,"},
        {{"open", "RN340_CashA", "--timeout", "100", "--simulate"}, kExitUsage, "", "--timeout goes with --confirm"},
        {{"open"}, kExitUsage, "", "id is required"},
        {{"open", "RN340_CashA", "--simulate", "--port", "0x53A"}, kExitUsage, "", "PORT=VALUE"},
        {{"open", "RN340_CashA", "--simulate", "--port", "0x53A="}, kExitUsage, "", "got '0x53A='"},
        {{"open", "RN340_CashA", "--simulate", "--port", "=0xFB"}, kExitUsage, "", "got '=0xFB'"},
        {{"open", "RN340_CashA", "--simulate", "--port", "0x53Az=1"}, kExitUsage, "", "PORT=VALUE"},
        {{"open", "RN340_CashA", "--simulate", "--port", "0x53A=0xFBz"}, kExitUsage, "", "PORT=VALUE"},
        {{"open", "RN340_CashA", "--simulate", "--port", "0x10000=1"}, kExitUsage, "", "PORT=VALUE"},
        {{"open", "RN340_CashA", "--simulate", "--port", "0x53A=0x1000000FB"}, kExitUsage, "", "PORT=VALUE"},
        {{"open", "RN340_CashA", "--simulate", "--port", "0x53A=-1"}, kExitUsage, "", "PORT=VALUE"},
        {{"status", "RN2180_CashB", "--simulate", "--memory", "0x1FDAE04F8=0x2"}, kExitUsage, "", "ADDRESS=VALUE"},
        {{"status", "RN2180_CashB", "--simulate", "--memory", "0xFDAE04F8"}, kExitUsage, "", "ADDRESS=VALUE"},
        {{"status", "RN370_CashB", "--simulate", "--port", "0x5A8=0xFFFFFFBF"}, kExitSuccess, "= 0", ""},
        {{"open", "RN340_CashA", "--port", "0x53A=1"}, kExitUsage, "", "go with --simulate"},
        {{"watch", "RN340_CashA", "--interval", "0"}, kExitUsage, "", "interval"},
        {{"default", "close"}, kExitUsage, "", "what"},
        {{"--help"}, kExitSuccess, "Exit codes:", ""},
        {{"--version"}, kExitSuccess, "cashdrawer " CASH_DRAWER_VERSION, ""},
        {{"open", "RN340_Casha", "--simulate"}, kExitUnknownDrawer, "= -1", "did you mean 'RN340_CashA'"},
        {{"wait", "RN340_CashA", "--state", "1", "--timeout", "300", "--simulate", "--port", "0x53A=0xFB"}, kExitSuccess,
         "= 1: the drawer reached the state", ""},
        {{"wait", "RN340_CashA", "--state", "0", "--timeout", "300", "--simulate", "--port", "0x53A=0xFB"}, kExitTimedOut,
         "= 0: the time ran out first", "cashdrawer: WaitCashStatus(\"RN340_CashA\"): the time ran out first"},
        {{"wait", "RN340_CashA", "--state", "2", "--simulate"}, kExitUsage, "", "--state"},
        {{"wait", "KV7100_CashB", "--state", "1", "--simulate"}, kExitUnknownDrawer, "= -1", "no drawer line of its own"},
        // The simulated port drawer springs open when kicked; the Super I/O
        // drawer's sensor does not move.
        {{"open", "RN340_CashA", "--confirm", "--timeout", "200", "--simulate"}, kExitSuccess,
         "OpenCashConfirmed(\"RN340_CashA\") = 1: kicked, and the drawer's sensor changed: it opened", ""},
        {{"open", "KV7830_CashA", "--confirm", "--timeout", "200", "--simulate"}, kExitTimedOut,
         "OpenCashConfirmed(\"KV7830_CashA\") = 0: kicked, but the sensor did not change",
         "cashdrawer: OpenCashConfirmed(\"KV7830_CashA\"): kicked, but the sensor did not change in time"},
        {{"doctor", "RN320_CashA", "--simulate"}, kExitSuccess, "Health of RN320_CashA: all is well", ""},
        {{"doctor", "RN340_Cash", "--simulate"}, kExitUnknownDrawer, "unknown drawer", "not a drawer identifier"},
        // Slips the library's case-only hint does not catch, and options misspelt.
        {{"status", "RN34O_CashA", "--simulate"}, kExitUnknownDrawer, "= -1", "knows (did you mean RN340_CashA?)"},
        {{"open", "RN340", "--simulate"}, kExitUnknownDrawer, "= -1", "(did you mean RN340_CashB or RN340_CashA?)"},
        {{"--simulte", "status", "RN340_CashA"}, kExitUsage, "", "no option --simulte: did you mean --simulate?"},
        {{"open", "RN340_CashA", "--confrim", "--simulate"}, kExitUsage, "", "no option --confrim: did you mean --confirm?"},
        {{"status", "RN340_CashA", "--bogus"}, kExitUsage, "", "cashdrawer: no option --bogus (cashdrawer COMMAND --help)"},
        {{"status", "--help"}, kExitSuccess, "Also: --simulate (a simulated terminal, every access printed), --json", ""},
        {{"list", "--help"}, kExitSuccess, "Also: --json (the result as JSON)", ""},
    };
    for (const Case& c : cases) {
        const ToolRun run = Cashdrawer(c.args);
        std::string call;
        for (const char* arg : c.args) {
            call += std::string(arg) + " ";
        }
        EXPECT_EQ(run.exitCode, c.exitCode) << call << "\n" << run.out << run.err;
        EXPECT_TRUE(Contains(run.out, c.out)) << call << "\n" << run.out;
        EXPECT_TRUE(Contains(run.err, c.err)) << call << "\n" << run.err;
    }
}

TEST_F(Cli, ListComesFromTheCatalogue) {
    const ToolRun text = Cashdrawer({"list"});
    EXPECT_EQ(text.exitCode, kExitSuccess);
    int drawers = 0;
    std::istringstream lines(text.out);
    for (std::string line; std::getline(lines, line);) {
        drawers += Contains(line, "_Cash") ? 1 : 0;
    }
    EXPECT_EQ(drawers, 57);

    const nlohmann::json rows = nlohmann::json::parse(Cashdrawer({"list", "--json"}).out);
    ASSERT_EQ(rows.size(), 57u);
    EXPECT_EQ(rows[0]["drawerId"], "DL470_CashA");
    EXPECT_EQ(rows[0]["model"], "DL470");
    int unknownToStatus = 0;
    for (const auto& row : rows) {
        unknownToStatus += row["getCashStatus"] == "reads" ? 0 : 1;
    }
    EXPECT_EQ(unknownToStatus, 3);
}

TEST_F(Cli, JsonForScripts) {
    const ToolRun run = Cashdrawer({"open", "RN370_CashB", "--simulate", "--json"});
    ASSERT_EQ(run.exitCode, kExitSuccess) << run.err;
    const nlohmann::json report = nlohmann::json::parse(run.out);
    EXPECT_EQ(run.out.substr(0, 15), "{\n  \"accesses\":") << "indented by two, for a person reading it too";
    EXPECT_EQ(report["function"], "OpenCash");
    EXPECT_EQ(report["result"], 1);
    EXPECT_EQ(report["simulated"], true);
    EXPECT_EQ(report["accesses"].front()["op"], "InitializeWinIo");
    // Drive bit 1 of the RN370 register: high for the 50 ms pulse.
    ASSERT_EQ(report["driveLine"]["pulses"].size(), 1u);
    EXPECT_EQ(report["driveLine"]["pulses"][0]["level"], 1);
    EXPECT_DOUBLE_EQ(report["driveLine"]["pulses"][0]["lengthMs"].get<double>(), 50.0);
}

// Whatever bytes come in - an identifier typed in another code page, a
// configuration file that is not UTF-8 - the tool prints its report, as
// JSON a script can read, and exits for the drawer's reason alone; the
// library's words are said once.
TEST_F(Cli, AnyBytesGiveAReportAndTheExitCodeOfTheResult) {
    std::ofstream("CashDrawerconfig.ini", std::ios::binary)
        << "[CashDrawer_Machine]\nCurrentCashDrawer=caf\xE9\xFF\n[CashDrawerList]\ncaf\xE9\xFF=RN340_CashA\n";
    const ToolRun doctor = Cashdrawer({"doctor", "RN340_CashA", "--simulate", "--json"});
    EXPECT_EQ(doctor.exitCode, kExitSuccess) << doctor.err;
    const auto report = nlohmann::json::parse(doctor.out);
    EXPECT_EQ(doctor.out.substr(0, 13), "{\n  \"result\":") << "indented by two";
    EXPECT_EQ(report["health"]["configuration"]["found"], true);
    EXPECT_EQ(report["health"]["configuration"].at("writable"), true);
    std::filesystem::remove("CashDrawerconfig.ini");
    const ToolRun without = Cashdrawer({"doctor", "RN340_CashA", "--simulate", "--json"});
    EXPECT_EQ(nlohmann::json::parse(without.out)["health"]["configuration"]["found"], false);
    // Missing, but the folder takes it: the Default calls can still be set up.
    EXPECT_EQ(nlohmann::json::parse(without.out)["health"]["configuration"]["writable"], true);
    // A folder where the file should be: neither found nor writable.
    std::filesystem::create_directory("CashDrawerconfig.ini");
    const ToolRun folder = Cashdrawer({"doctor", "RN340_CashA", "--simulate", "--json"});
    const auto inFolder = nlohmann::json::parse(folder.out)["health"]["configuration"];
    EXPECT_EQ(inFolder["found"], false) << folder.out;
    EXPECT_EQ(inFolder["writable"], false) << folder.out;
    std::filesystem::remove("CashDrawerconfig.ini");
    std::ofstream("CashDrawerconfig.ini", std::ios::binary)
        << "[CashDrawer_Machine]\nCurrentCashDrawer=caf\xE9\xFF\n[CashDrawerList]\ncaf\xE9\xFF=RN340_CashA\n";
    EXPECT_EQ(report["health"]["configuration"]["chosenKey"], "caf\u00e9\u00ff");
    EXPECT_EQ(report["health"]["configuration"]["currentDirectory"], folder_.string() + "/");

    const ToolRun open = Cashdrawer({"open", "caf\xE9", "--simulate", "--json"});
    EXPECT_EQ(open.exitCode, kExitUnknownDrawer) << open.err;
    EXPECT_EQ(nlohmann::json::parse(open.out)["drawerId"], "caf\xEF\xBF\xBD"); // the bad byte as U+FFFD

    const ToolRun listed = Cashdrawer({"open", "KV7820_CashB", "--simulate"});
    EXPECT_EQ(listed.exitCode, kExitUnknownDrawer);
    EXPECT_EQ(listed.err, "cashdrawer: 'KV7820_CashB' is listed, but no drawer line of its own is wired for it: neither "
                          "a kick nor a state is known (see 'cashdrawer list')\n");
}

TEST_F(Cli, ConfigurationFileCommands) {
    ToolRun run = Cashdrawer({"config", "show"});
    EXPECT_TRUE(Contains(run.out, "no drawer chosen")) << run.out;

    run = Cashdrawer({"default", "open", "--simulate"});
    EXPECT_EQ(run.exitCode, kExitSuccess);
    EXPECT_TRUE(Contains(run.out, "no drawer chosen; the defaults were written")) << run.out;

    run = Cashdrawer({"default", "open", "--simulate"});
    EXPECT_TRUE(Contains(run.out, "OpenCashDefault(\"RN340_CashA\") = 1: kicked")) << run.out;

    run = Cashdrawer({"config", "show"});
    EXPECT_TRUE(Contains(run.out, "Drawer:      RN340_CashA")) << run.out;
    EXPECT_TRUE(Contains(run.out, "8-bit port GPIO")) << run.out;

    std::filesystem::remove("CashDrawerconfig.ini");
    EXPECT_EQ(Cashdrawer({"config", "init"}).exitCode, kExitSuccess);
    EXPECT_TRUE(std::filesystem::exists("CashDrawerconfig.ini"));
}

TEST_F(Cli, ConfigShowResolvesTheSerialDrawersPort) {
    Cashdrawer({"config", "init"});
    std::ofstream("CashDrawerconfig.ini", std::ios::app)
        << "[DL470_CashB]\r\nComNuM=12\r\nBaudint=1200\r\n";
    // Choose it through a key of the list.
    std::string text;
    {
        std::ifstream in("CashDrawerconfig.ini");
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    text.replace(text.find("CurrentCashDrawer=RN340_A"), 25, "CurrentCashDrawer=TILL");
    text.replace(text.find("[CashDrawerList]\r\n"), 18, "[CashDrawerList]\r\nTILL=DL470_CashB\r\n");
    std::ofstream("CashDrawerconfig.ini", std::ios::trunc) << text;

    ToolRun run = Cashdrawer({"config", "show"});
    EXPECT_TRUE(Contains(run.out, "Drawer:      DL470_CashB")) << run.out;
    // COM12 is the twelfth serial device of the system.
    EXPECT_TRUE(Contains(run.out, "Serial port: /dev/ttyS11 at 9600 baud")) << run.out;

    // A Device key names the device instead.
    text.replace(text.find("ComNuM=12\r\n"), 11, "ComNuM=12\r\nDevice=/dev/ttyUSB3\r\n");
    std::ofstream("CashDrawerconfig.ini", std::ios::trunc) << text;
    run = Cashdrawer({"config", "show", "--json"});
    const nlohmann::json report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["serial"]["port"], "/dev/ttyUSB3") << run.out;
    EXPECT_EQ(report["serial"]["ComNuM"], 12);
    EXPECT_EQ(report["serial"]["baudRate"], 9600);
}

// Nothing moves a simulated drawer while it is watched: the watch shows
// its one state and ends, whatever the count (it used to wait for ever).
TEST_F(Cli, AWatchOfTheSimulatedDrawerEnds) {
    for (const char* count : {"0", "5"}) {
        const ToolRun run = Cashdrawer({"watch", "RN340_CashA", "--simulate", "--count", count, "--interval", "10"});
        EXPECT_EQ(run.exitCode, kExitSuccess) << count;
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
        EXPECT_TRUE(Contains(run.err, "nothing moves the simulated drawer")) << run.err;
    }
}

TEST_F(Cli, WatchPrintsTheStateAndStopsAfterTheCount) {
    const ToolRun run = Cashdrawer({"watch", "RN340_CashA", "--simulate", "--port", "0x53A=0xFB", "--count", "1",
                                "--interval", "10"});
    EXPECT_EQ(run.exitCode, kExitSuccess) << run.err;
    EXPECT_TRUE(Contains(run.out, "RN340_CashA  1 (drawer state bit 1)")) << run.out;
}

// A terminal whose drawer state follows a script, one entry a read (the
// last one repeats), on a virtual clock.
class ScriptedBackend final : public DrawerBackend {
public:
    ScriptedBackend(std::vector<int> states, Clock& clock) : states_(std::move(states)), clock_(clock) {}

    int OpenCash(const char*) override { return 1; }
    int GetCashStatus(const char*) override { return states_[std::min(reads++, states_.size() - 1)]; }
    int OpenCashDefault() override { return 1; }
    int GetCashStatusDefault() override { return 1; }
    int WaitCashStatus(const char*, int, int) override { return 1; }
    int OpenCashConfirmed(const char*, int) override { return 1; }
    std::string LastError() override { return "scripted failure"; }
    int CheckHealth(const char*, std::string&) override { return 1; }
    bool Simulated() const override { return true; }
    void SetPort(uint16_t, uint32_t, PortWidth) override {}
    void SetMemory(uint32_t, uint32_t) override {}
    std::vector<sim::AccessRecord> TakeAccesses() override { return {}; }
    uint64_t NowMicros() override { return clock_.NowMicros(); }
    std::string UnreachableHint() const override { return "scripted"; }

    std::size_t reads = 0;

private:
    std::vector<int> states_;
    Clock& clock_;
};

struct WatchRun {
    std::vector<std::string> lines; // "<virtual ms> <state>"
    std::optional<CallReport> failed;
    std::size_t reads;
};

WatchRun RunWatch(std::vector<int> states, unsigned intervalMs, unsigned count, int stopAfterReads = -1) {
    sim::AccessLog log;
    sim::VirtualClock clock(log);
    ScriptedBackend backend(std::move(states), clock);
    WatchRun run;
    run.failed = Watch(
        backend, clock, {"RN340_CashA", intervalMs, count}, [&] { return std::to_string(clock.NowMicros() / 1000); },
        [&] { return stopAfterReads >= 0 && backend.reads >= static_cast<std::size_t>(stopAfterReads); },
        [&](const WatchLine& line) { run.lines.push_back(line.time + " " + std::to_string(line.result)); });
    run.reads = backend.reads;
    return run;
}

// The watch on a virtual clock: each change printed once, at the time of
// the read that saw it, the reads an interval apart.
TEST(Watch, PrintsEachChangeOnceAtTheReadThatSawIt) {
    const WatchRun run = RunWatch({1, 1, 0, 0, 0, 1, 1}, 250, 3);
    EXPECT_FALSE(run.failed.has_value());
    EXPECT_EQ(run.lines, (std::vector<std::string>{"0 1", "500 0", "1250 1"}));
    EXPECT_EQ(run.reads, 6u); // stopped at the third line, not read again
}

TEST(Watch, AFailedReadEndsTheWatchWithItsReport) {
    const WatchRun run = RunWatch({0, 0, CASH_DRAWER_UNREACHABLE, 1}, 100, 0);
    EXPECT_EQ(run.lines, std::vector<std::string>{"0 0"});
    ASSERT_TRUE(run.failed.has_value());
    EXPECT_EQ(run.failed->result, CASH_DRAWER_UNREACHABLE);
    EXPECT_EQ(run.failed->outcome.exitCode, kExitUnreachable);
    EXPECT_EQ(run.failed->function, "GetCashStatus");
    EXPECT_EQ(run.reads, 3u);
}

TEST(Watch, StopsWhenAskedWithoutACount) {
    const WatchRun run = RunWatch({1, 0, 1, 0, 1, 0}, 50, 0, 4);
    EXPECT_FALSE(run.failed.has_value());
    EXPECT_EQ(run.lines, (std::vector<std::string>{"0 1", "50 0", "100 1", "150 0"}));
    EXPECT_EQ(run.reads, 4u);
}

} // namespace
} // namespace cashdrawer::cli
