#include "core/settings.h"

#include "agent_test_support.h"
#include "os/durable_files.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace cashdrawer::agent {
namespace {

// Credentials files by path, as the tests' file system holds them.
std::optional<std::string> ReadTestFile(const std::string& path) {
    if (path == "/etc/cashdrawer/mqtt.ini") {
        return std::string("[Mqtt]\nUsername=till-3\nPassword=s3cret=;x\n");
    }
    if (path == "/empty.ini") {
        return std::string("[Mqtt]\nPassword=x\n");
    }
    return std::nullopt;
}

std::optional<AgentSettings> Parse(const std::string& text, std::string& error) {
    return ParseAgentSettings("/etc/cashdrawer/cashdrawer-agent.ini", text, "/var/lib/cashdrawer/journal", error,
                              "till-9", ReadTestFile);
}

TEST(AgentSettings, ReadsEveryKeyAndEachDrawersPolarity) {
    std::string error;
    const auto settings = Parse("[Agent]\nDrawers= RN340_CashA ,KV7640_CashB,, RN170_CashA\nPollMs=250\n"
                                "LeftOpenMs=0\nJournalFolder=/srv/journal\nJournalFileBytes=4096\nLibrary=/opt/lib.so\n"
                                "BridgePort=8123\nKickGuardMs=250\n"
                                "[RN340_CashA]\nOpenWhen=1\n[rn170_casha]\nopenwhen=0\n",
                                error);
    ASSERT_TRUE(settings) << error;
    ASSERT_EQ(settings->drawers.size(), 3u);
    EXPECT_EQ(settings->drawers[0].id, "RN340_CashA");
    EXPECT_EQ(settings->drawers[0].openWhen, 1);
    EXPECT_EQ(settings->drawers[1].id, "KV7640_CashB");
    EXPECT_EQ(settings->drawers[1].openWhen, std::nullopt);
    EXPECT_EQ(settings->drawers[2].openWhen, 0);
    EXPECT_EQ(settings->pollMs, 250u);
    EXPECT_EQ(settings->leftOpenMs, 0u);
    EXPECT_EQ(settings->journalFolder, "/srv/journal");
    EXPECT_EQ(settings->journalFileBytes, 4096u);
    EXPECT_EQ(settings->library, "/opt/lib.so");
    EXPECT_EQ(settings->bridgePort, 8123u);
    EXPECT_EQ(settings->kickGuardMs, 250u);
    EXPECT_EQ(settings->file, "/etc/cashdrawer/cashdrawer-agent.ini");
}

TEST(AgentSettings, KeysLeftOutTakeTheirDefaults) {
    std::string error;
    const auto settings = Parse("[Agent]\nDrawers=A\n", error);
    ASSERT_TRUE(settings) << error;
    EXPECT_EQ(settings->pollMs, 100u);
    EXPECT_EQ(settings->leftOpenMs, 30000u);
    EXPECT_EQ(settings->journalFolder, "/var/lib/cashdrawer/journal");
    EXPECT_EQ(settings->journalFileBytes, 8u << 20);
    EXPECT_EQ(settings->library, "");
    EXPECT_EQ(settings->bridgePort, 17820u);
    EXPECT_EQ(settings->kickGuardMs, 1000u);
}

TEST(AgentSettings, ValuesAtTheirLimitsAreTaken) {
    for (const char* line : {"PollMs=10", "PollMs=60000", "LeftOpenMs=86400000", "JournalFileBytes=4096",
                             "JournalFileBytes=1073741824", "BridgePort=0", "BridgePort=65535", "KickGuardMs=0",
                             "KickGuardMs=60000"}) {
        std::string error;
        EXPECT_TRUE(Parse(std::string("[Agent]\nDrawers=A\n") + line + "\n", error)) << line << ": " << error;
    }
}

// Each refusal names the file, the section and key, and the value.
TEST(AgentSettings, RefusesWhatCannotBeMeant) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"[Agent]\n", "[Agent] Drawers=: name at least one drawer to watch"},
        {"[Agent]\nDrawers= , ,\n", "[Agent] Drawers=, ,: name at least one drawer to watch"},
        {"[Agent]\nDrawers=A,B,A\n", "[Agent] Drawers=A,B,A: A is named twice"},
        {"[Agent]\nDrawers=A\nPollMs=0\n", "[Agent] PollMs=0: a whole number from 10 to 60000 is needed"},
        {"[Agent]\nDrawers=A\nPollMs=9\n", "[Agent] PollMs=9: a whole number from 10 to 60000 is needed"},
        {"[Agent]\nDrawers=A\nPollMs=60001\n", "[Agent] PollMs=60001: a whole number from 10 to 60000 is needed"},
        {"[Agent]\nDrawers=A\nPollMs=-100\n", "[Agent] PollMs=-100: a whole number from 10 to 60000 is needed"},
        {"[Agent]\nDrawers=A\nPollMs=100ms\n", "[Agent] PollMs=100ms: a whole number from 10 to 60000 is needed"},
        {"[Agent]\nDrawers=A\nPollMs=99999999999999999999\n",
         "[Agent] PollMs=99999999999999999999: a whole number from 10 to 60000 is needed"},
        {"[Agent]\nDrawers=A\nLeftOpenMs=86400001\n",
         "[Agent] LeftOpenMs=86400001: a whole number from 0 to 86400000 is needed"},
        {"[Agent]\nDrawers=A\nJournalFileBytes=4095\n",
         "[Agent] JournalFileBytes=4095: a whole number from 4096 to 1073741824 is needed"},
        {"[Agent]\nDrawers=A\nBridgePort=65536\n", "[Agent] BridgePort=65536: a whole number from 0 to 65535 is needed"},
        {"[Agent]\nDrawers=A\nKickGuardMs=60001\n",
         "[Agent] KickGuardMs=60001: a whole number from 0 to 60000 is needed"},
        {"[Agent]\nDrawers=A\n[A]\nOpenWhen=2\n", "[A] OpenWhen=2: 0 or 1 is needed: the state bit that means open"},
        {"[Agent]\nDrawers=A\n[A]\nOpenWhen=open\n", "[A] OpenWhen=open: 0 or 1 is needed"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=http://b\nSite=s\n", "[Mqtt] Broker=http://b: mqtt://HOST[:PORT] or"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=mqtt://u@b\nSite=s\n", "[Mqtt] Broker=mqtt://u@b: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=mqtt://b/x\nSite=s\n", "[Mqtt] Broker=mqtt://b/x: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=mqtt://b:0\nSite=s\n", "[Mqtt] Broker=mqtt://b:0: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=mqtt://b:65536\nSite=s\n", "[Mqtt] Broker=mqtt://b:65536: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=mqtt://b:\nSite=s\n", "[Mqtt] Broker=mqtt://b:: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=mqtt://:1883\nSite=s\n", "[Mqtt] Broker=mqtt://:1883: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=mqtt://[::1\nSite=s\n", "[Mqtt] Broker=mqtt://[::1: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=mqtt://[]:1\nSite=s\n", "[Mqtt] Broker=mqtt://[]:1: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=mqtt://[::1]x\nSite=s\n", "[Mqtt] Broker=mqtt://[::1]x: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=mqtt://[::1]:\nSite=s\n", "[Mqtt] Broker=mqtt://[::1]:: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=b\nTls=yes\nSite=s\n", "[Mqtt] Tls=yes: 0 or 1 is needed"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=mqtts://b\nTls=0\nSite=s\n", "[Mqtt] Tls=0: the Broker's scheme says"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=mqtt://b\nTls=1\nSite=s\n", "[Mqtt] Tls=1: the Broker's scheme says"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=b\nCaFile=/ca.pem\nSite=s\n", "[Mqtt] CaFile=/ca.pem: a CA file is for TLS"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=b\n", "[Mqtt] Site=: the store's name is needed"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=b\nSite=a/b\n", "[Mqtt] Site=a/b: the store's name"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=b\nSite=s\nTerminal=t#\n", "[Mqtt] Terminal=t#: 1 to 64"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=b\nSite=s\nClientId=a b\n", "[Mqtt] ClientId=a b: up to 128"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=b\nSite=s\nCredentialsFile=/missing\n",
         "[Mqtt] CredentialsFile=/missing: the file cannot be read"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=b\nSite=s\nCredentialsFile=/empty.ini\n",
         "[Mqtt] CredentialsFile=/empty.ini: the file names no [Mqtt] Username"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(Parse(c.text, error)) << c.text;
        EXPECT_EQ(error.rfind("/etc/cashdrawer/cashdrawer-agent.ini: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

TEST(AgentSettings, TheBrokerAndTheTerminalsNamesForTheFleet) {
    const struct {
        const char* mqtt;
        const char* url; // as the log names the broker; "" for none
        bool tls;
        const char* terminal;
        const char* clientId;
    } rows[] = {
        {"", "", false, "", ""},
        {"Broker=broker.example\nSite=s1\n", "mqtt://broker.example:1883", false, "till-9", "cashdrawer-s1-till-9"},
        {"Broker=mqtt://b:1884\nSite=s1\nTerminal=t-3\n", "mqtt://b:1884", false, "t-3", "cashdrawer-s1-t-3"},
        {"Broker=mqtts://b\nSite=s1\n", "mqtts://b:8883", true, "till-9", "cashdrawer-s1-till-9"},
        {"Broker=mqtts://b:65535\nTls=1\nSite=s1\n", "mqtts://b:65535", true, "till-9", "cashdrawer-s1-till-9"},
        {"Broker=b:1\nTls=1\nSite=s1\nClientId=x\n", "mqtts://b:1", true, "till-9", "x"},
        {"Broker=mqtt://b\nTls=0\nSite=s1\n", "mqtt://b:1883", false, "till-9", "cashdrawer-s1-till-9"},
        {"Broker=[::1]:18830\nSite=s1\n", "mqtt://[::1]:18830", false, "till-9", "cashdrawer-s1-till-9"},
        {"Broker=mqtts://[fd00::7]\nSite=s1\n", "mqtts://[fd00::7]:8883", true, "till-9", "cashdrawer-s1-till-9"},
    };
    for (const auto& row : rows) {
        std::string error;
        const auto settings = Parse(std::string("[Agent]\nDrawers=A\n[Mqtt]\n") + row.mqtt, error);
        ASSERT_TRUE(settings) << row.mqtt << error;
        const MqttSettings& mqtt = settings->mqtt;
        EXPECT_EQ(mqtt.Enabled(), *row.url != '\0') << row.mqtt;
        if (!mqtt.Enabled()) {
            continue;
        }
        EXPECT_EQ(mqtt.BrokerUrl(), row.url) << row.mqtt;
        EXPECT_EQ(mqtt.tls, row.tls) << row.mqtt;
        EXPECT_EQ(mqtt.site, "s1");
        EXPECT_EQ(mqtt.terminal, row.terminal) << row.mqtt;
        EXPECT_EQ(mqtt.clientId, row.clientId) << row.mqtt;
        EXPECT_EQ(mqtt.username, "");
    }
    std::string error;
    const auto settings = Parse("[Agent]\nDrawers=A\n[Mqtt]\nBroker=mqtts://b\nSite=s\nCaFile=/etc/ca.pem\n"
                                "CredentialsFile=/etc/cashdrawer/mqtt.ini\n",
                                error);
    ASSERT_TRUE(settings) << error;
    EXPECT_EQ(settings->mqtt.caFile, "/etc/ca.pem");
    EXPECT_EQ(settings->mqtt.credentialsFile, "/etc/cashdrawer/mqtt.ini");
    EXPECT_EQ(settings->mqtt.username, "till-3");
    EXPECT_EQ(settings->mqtt.password, "s3cret=;x");
}

TEST(AgentSettings, ATopicLevelIsOneToSixtyFourPlainCharacters) {
    const std::pair<std::string, bool> rows[] = {
        {"store-0042", true}, {std::string(64, 's'), true}, {std::string(65, 's'), false}, {"", false},
        {"a/b", false},       {"a+b", false},             {"a#", false},                 {"a b", false},
        {"a\tb", false},      {"a\x7f", false},           {"caf\xc3\xa9", true},
        // Malformed UTF-8: a Latin-1 byte, a character cut short, an overlong "/".
        {"caf\xe9", false},   {"caf\xc3", false},         {"a\xc0\xaf", false},
    };
    for (const auto& [text, plain] : rows) {
        EXPECT_EQ(IsTopicLevel(text), plain) << text;
    }
    EXPECT_TRUE(IsPlainName(std::string(128, 'c'), 128));
    EXPECT_FALSE(IsPlainName(std::string(129, 'c'), 128));
    EXPECT_FALSE(IsPlainName("till\xff", 128)) << "a client id the MQTT library refuses";
}

TEST(AgentSettings, DrawerIdsHaveTheCatalogueFormOnly) {
    using namespace std::string_literals;
    const std::string longest(64, 'K');
    for (const std::string& id : {"RN340_CashA"s, "KV7450XR_CashB"s, longest, "test-drawer.1"s}) {
        std::string error;
        const auto settings = Parse("[Agent]\nDrawers=" + id + "\n", error);
        ASSERT_TRUE(settings) << id << ": " << error;
        EXPECT_EQ(settings->drawers.at(0).id, id);
    }
    for (const std::string& id : {longest + "K", "RN340_CashA\0EVIL"s, "RN340 CashA"s, "RN340_CashA\x7f"s,
                                  "RN340_Cash\xc3\xa9"s, "RN340/CashA"s, "RN340_CashA\tB"s}) {
        std::string error;
        EXPECT_FALSE(Parse("[Agent]\nDrawers=" + id + "\n", error)) << id;
        EXPECT_NE(error.find("a drawer id is letters, digits"), std::string::npos) << error;
    }
}

TEST(AgentSettings, AJournalFolderOthersWriteIsTakenOnlyWhenSaid) {
    const struct {
        const char* line;
        std::optional<bool> shared; // none: refused
    } cases[] = {{"", false}, {"JournalFolderShared=no\n", false}, {"JournalFolderShared=yes\n", true},
                 {"JournalFolderShared=1\n", std::nullopt}, {"JournalFolderShared=Yes\n", std::nullopt}};
    for (const auto& c : cases) {
        std::string error;
        const auto settings = Parse(std::string("[Agent]\nDrawers=A\n") + c.line, error);
        ASSERT_EQ(settings.has_value(), c.shared.has_value()) << c.line << error;
        if (settings) {
            EXPECT_EQ(settings->journalFolderShared, *c.shared) << c.line;
        } else {
            EXPECT_NE(error.find("yes or no is needed"), std::string::npos) << error;
        }
    }
}

// The settings file is read as any file of the agent's: never through a
// link, never a FIFO (which would hang the start), never without bound.
TEST(AgentSettings, AFileThatCannotBeReadIsNamedWithWhy) {
    testing::TempFolder folder;
    const std::string good = "[Agent]\nDrawers=A\n";
    testing::WriteText(folder / "good.ini", good);
    std::filesystem::create_symlink(folder / "good.ini", folder / "link.ini");
    ASSERT_EQ(::mkfifo((folder / "fifo.ini").c_str(), 0600), 0);
    std::filesystem::create_directory(folder / "folder.ini");
    // (A comment line fills them: one line, read once.)
    testing::WriteText(folder / "largest.ini", good + ";" + std::string(kMaxSmallFileBytes - good.size() - 2, 'x') + "\n");
    testing::WriteText(folder / "large.ini", good + ";" + std::string(kMaxSmallFileBytes - good.size() - 1, 'x') + "\n");
    const struct {
        const char* name;
        const char* why; // null: read
    } cases[] = {
        {"missing.ini", "no such file"},
        {"link.ini", "a symbolic link, which the agent never follows"},
        {"fifo.ini", "not a regular file"},
        {"folder.ini", "not a regular file"},
        {"large.ini", "larger than the 1048576 bytes a file of its kind may hold"},
        {"largest.ini", nullptr},
        {"good.ini", nullptr},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto settings = ReadAgentSettings(folder / c.name, error);
        if (c.why == nullptr) {
            EXPECT_TRUE(settings) << c.name << ": " << error;
        } else {
            EXPECT_FALSE(settings) << c.name;
            EXPECT_EQ(error, folder / c.name + ": the settings file cannot be read: " + c.why);
        }
    }
}

} // namespace
} // namespace cashdrawer::agent
