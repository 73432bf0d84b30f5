#include "test_terminal.h"

#include "cash_drawer.h"
#include "config/config_file.h"

#include <gtest/gtest.h>

#include <climits>

namespace cashdrawer::test {
namespace {

const std::string kConfigPath = "C:\\POS\\CashDrawerconfig.ini";

std::string Lines(std::initializer_list<const char*> lines) {
    std::string text;
    for (const char* line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

// What a terminal finds after the first Default call on a clean install.
const std::string kDefaultFile = Lines({
    "[CashDrawer_Machine]", "CurrentCashDrawer=RN340_A", "[CashDrawerList]",
    "KV4980_A=KV4980_CashA", "KV7820_A=KV7820_CashA", "KV7830_A=KV7830_CashA", "KV7450_A=KV7450_CashA",
    "KV9320_A=KV9320_CashA", "KV9360_A=KV9360_CashA", "KV7100_A=KV7100_CashA", "RN320_A=RN320_CashA",
    "RN2110_A=RN2110_CashA", "RN170_A=RN170_CashA", "RN340_A=RN340_CashA", "KV2790L_A=KV2790L_CashA",
    "RN2150_A=RN2150_CashA", "KV8041N_A=KV8041N_CashA", "KV8041M_A=KV8041M_CashA", "KV2470_A=KV2470_CashA",
    "RN2180_A=RN2180_CashA", "RN3470_A=RN3470_CashA", "RN6620_A=RN6620_CashA",
    "KV4980_B=KV4980_CashB", "KV7820_B=KV7820_CashB", "KV7830_B=KV7830_CashB", "KV7450_B=KV7450_CashB",
    "KV9320_B=KV9320_CashB", "KV9360_B=KV9360_CashB", "KV7100_B=KV7100_CashB", "RN320_B=RN320_CashB",
    "RN2110_B=RN2110_CashB", "RN170_B=RN170_CashB", "RN340_B=RN340_CashB", "RN2150_B=RN2150_CashB",
    "KV8041N_B=KV8041N_CashB", "KV8041M_B=KV8041M_CashB", "KV2470_B=KV2470_CashB", "RN2180_B=RN2180_CashB",
    "RN3470_B=RN3470_CashB", "RN6620_B=RN6620_CashB",
});

TEST(DefaultExports, WithNoFileWriteTheDefaultsAndTouchNoDrawerThenUseThem) {
    for (bool status : {false, true}) {
        SimTerminal terminal;
        const auto call = [&] {
            return status ? terminal.library.GetCashStatusDefault() : terminal.library.OpenCashDefault();
        };
        EXPECT_EQ(call(), CASH_DRAWER_NONE_CHOSEN);
        EXPECT_EQ(terminal.profiles.WriteCount(), 39);
        ASSERT_NE(terminal.profiles.File(kConfigPath), nullptr);
        EXPECT_EQ(*terminal.profiles.File(kConfigPath), kDefaultFile);
        EXPECT_TRUE(terminal.Accesses().empty());

        // The next call acts on "RN340_CashA".
        terminal.ports.Poke(0x53A, 0xFB, PortWidth::Byte);
        EXPECT_EQ(call(), status ? 1 : CASH_DRAWER_KICKED);
        EXPECT_EQ(terminal.profiles.WriteCount(), 39);
        const Trace trace = terminal.Accesses();
        ASSERT_FALSE(trace.empty());
        EXPECT_EQ(trace[trace.size() - 2], status ? Read8(0x53A, 0xFB) : Write8(0x50E, 0xFF));
    }
}

// A Default call in another process reads the file between any two of the
// default writes: at no point may it find a chosen key whose list entry is
// missing (it would answer -1 for a file that is being set up).
TEST(DefaultExports, NoReaderSeesAChoiceBeforeTheListEntryItNames) {
    class CheckingStore final : public ProfileStore {
    public:
        std::string CurrentDirectory() override { return files.CurrentDirectory(); }
        char PathSeparator() const override { return files.PathSeparator(); }
        std::string ReadString(const std::string& path, const std::string& section, const std::string& key) override {
            return files.ReadString(path, section, key);
        }
        void WriteString(const std::string& path, const std::string& section, const std::string& key,
                         const std::string& value) override {
            files.WriteString(path, section, key, value);
            const std::optional<std::string> chosen = ConfigFile(files).ReadChosenDrawer();
            choicesSeen += chosen ? 1 : 0;
            danglingChoices += chosen && chosen->empty() ? 1 : 0;
        }
        sim::SimProfileStore files;
        int choicesSeen = 0;
        int danglingChoices = 0;
    };
    for (const std::string& before : {std::string(), Lines({"[CashDrawer_Machine]", "CurrentCashDrawer="})}) {
        CheckingStore store;
        store.files.SetFile(kConfigPath, before);
        ConfigFile(store).WriteDefaultConfiguration();
        EXPECT_EQ(store.danglingChoices, 0);
        EXPECT_EQ(store.choicesSeen, 1) << "the choice appears with the last write";
        EXPECT_EQ(*store.files.File(kConfigPath), kDefaultFile);
    }
}

TEST(DefaultExports, AnEmptyChoiceRewritesTheDefaultsAndKeepsEverythingElse) {
    SimTerminal terminal;
    terminal.profiles.SetFile(kConfigPath, Lines({"[DL470_CashA]", "ComNuM=3", "Baudint=9600", "[CashDrawer_Machine]",
                                                  "CurrentCashDrawer=", "Site=Store 12", "[CashDrawerList]",
                                                  "RN340_A=KV2470_CashB", "MY_DRAWER=RN370_CashA"}));
    EXPECT_EQ(terminal.library.OpenCashDefault(), CASH_DRAWER_NONE_CHOSEN);
    const std::string& file = *terminal.profiles.File(kConfigPath);
    EXPECT_NE(file.find("CurrentCashDrawer=RN340_A\r\nSite=Store 12\r\n"), std::string::npos) << file;
    EXPECT_NE(file.find("RN340_A=RN340_CashA\r\nMY_DRAWER=RN370_CashA\r\n"), std::string::npos) << file;
    EXPECT_EQ(file.rfind("[DL470_CashA]\r\nComNuM=3\r\nBaudint=9600\r\n", 0), 0u) << file;
    EXPECT_TRUE(terminal.Accesses().empty());
}

TEST(DefaultExports, AChoiceMissingFromTheListHandsOnTheEmptyIdentifier) {
    SimTerminal terminal;
    const std::string file = Lines({"[CashDrawer_Machine]", "CurrentCashDrawer=NOPE_A", "[CashDrawerList]",
                                    "RN340_A=RN340_CashA"});
    terminal.profiles.SetFile(kConfigPath, file);
    EXPECT_EQ(terminal.library.GetCashStatusDefault(), CASH_DRAWER_UNKNOWN_ID);
    EXPECT_EQ(terminal.library.OpenCashDefault(), CASH_DRAWER_UNKNOWN_ID);
    EXPECT_EQ(terminal.profiles.WriteCount(), 0);
    EXPECT_EQ(*terminal.profiles.File(kConfigPath), file);
    EXPECT_EQ(terminal.Accesses(), (Trace{Init(), Shutdown(), Init(), Shutdown()}));
}

TEST(DefaultExports, ActOnTheDrawerTheListNamesWhateverItsKey) {
    SimTerminal terminal;
    terminal.profiles.SetFile(kConfigPath, Lines({"[CashDrawer_Machine]", "CurrentCashDrawer=till 3",
                                                  "[CashDrawerList]", "TILL 3 = RN370_CashB "}));
    terminal.ports.Poke(0x5A8, 0x40, PortWidth::DWord);
    EXPECT_EQ(terminal.library.GetCashStatusDefault(), 1);
    EXPECT_EQ(terminal.library.OpenCashDefault(), CASH_DRAWER_KICKED);
    EXPECT_EQ(terminal.Accesses(), (Trace{Init(), Read32(0x5A8, 0x40), Shutdown(), Init(), Write32(0x5A8, 0x80),
                                          Pause(50), Write32(0x5A8, 0x82), Pause(50), Write32(0x5A8, 0x80), Shutdown()}));
}

TEST(DefaultExports, FollowTheCurrentDirectoryFromCallToCall) {
    SimTerminal terminal;
    terminal.profiles.SetFile("C:\\Till1\\CashDrawerconfig.ini",
                              Lines({"[CashDrawer_Machine]", "CurrentCashDrawer=X", "[CashDrawerList]", "X=RN370_CashA"}));
    terminal.profiles.SetFile("C:\\Till2\\CashDrawerconfig.ini",
                              Lines({"[CashDrawer_Machine]", "CurrentCashDrawer=X", "[CashDrawerList]", "X=RN340_CashB"}));
    terminal.ports.Poke(0x5A8, 0x00, PortWidth::DWord);
    terminal.ports.Poke(0x53A, 0xFF, PortWidth::Byte);
    terminal.profiles.SetCurrentDirectory("C:\\Till1");
    EXPECT_EQ(terminal.library.GetCashStatusDefault(), 1);
    terminal.profiles.SetCurrentDirectory("C:\\Till2");
    EXPECT_EQ(terminal.library.GetCashStatusDefault(), 0);
}

TEST(DefaultExports, AnUnwritableFolderGivesZeroOnEveryCallAndRetriesTheDefaults) {
    SimTerminal terminal;
    terminal.profiles.SetReadOnly(true);
    for (int call = 1; call <= 3; ++call) {
        EXPECT_EQ(terminal.library.OpenCashDefault(), CASH_DRAWER_NONE_CHOSEN);
        EXPECT_EQ(terminal.profiles.WriteCount(), 39 * call);
    }
    EXPECT_TRUE(terminal.Accesses().empty());
}

// A folder deeper than the 260-byte path the file was once built in: the
// path is built whole, so the file lands where the shop expects it.
TEST(DefaultExports, ADeepCurrentDirectoryNamesTheFileInIt) {
    SimTerminal terminal;
    const std::string deep = "C:\\" + std::string(300, 'd');
    terminal.profiles.SetCurrentDirectory(deep);
    terminal.library.OpenCashDefault();
    EXPECT_NE(terminal.profiles.File(deep + "\\CashDrawerconfig.ini"), nullptr);
}

TEST(SerialSettings, ReadFromTheSectionNamedAfterTheDrawer) {
    SimTerminal terminal;
    terminal.profiles.SetFile(kConfigPath, Lines({"[DL470_CashA]", "ComNuM=3", "Baudint=19200", "[DL470_CashB]",
                                                  "ComNuM= 12abc", "Device=/dev/ttyUSB1"}));
    ConfigFile config(terminal.profiles);
    const SerialSettings a = config.ReadSerialSettings("DL470_CashA");
    EXPECT_EQ(a.ComNuM, 3);
    EXPECT_EQ(a.Baudint, 19200);
    const SerialSettings b = config.ReadSerialSettings("DL470_CashB");
    EXPECT_EQ(b.ComNuM, 12);
    EXPECT_EQ(b.Baudint, 0); // missing key
    EXPECT_EQ(b.Device, "/dev/ttyUSB1");
    EXPECT_EQ(a.Device, "");
}

TEST(SerialSettings, DecimalParsing) {
    struct Case {
        const char* text;
        int32_t value;
    };
    const Case cases[] = {
        {"3", 3},          {" 12abc", 12},          {"\t-7", -7},   {"+9600", 9600},          {"", 0},
        {"abc", 0},        {"-", 0},                {" + 5", 0},    {"0012", 12},             {"12 34", 12},
        {"2147483647", INT32_MAX}, {"2147483648", INT32_MAX}, {"99999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN}, {"-2147483649", INT32_MIN}, {"-99999999999999999999", INT32_MIN},
        // Every blank the C library's strtol skips, each on its own.
        {" 1", 1}, {"\t2", 2}, {"\n3", 3}, {"\v4", 4}, {"\f5", 5}, {"\r6", 6}, {"\x01" "7", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseDecimal(c.text), c.value) << '"' << c.text << '"';
    }
}

} // namespace
} // namespace cashdrawer::test
