#include "core/settings.h"

#include "config/nearest_name.h"
#include "core/settings_text.h"

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
    EXPECT_EQ(settings->warnings, std::vector<std::string>{}); // keys in any case, sections of drawers named
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
        std::string text;
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
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=b\nCertificateFile=/c.pem\nKeyFile=/c.key\nSite=s\n",
         "[Mqtt] CertificateFile=/c.pem: a client certificate is for TLS"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=mqtts://b\nCertificateFile=/c.pem\nSite=s\n",
         "[Mqtt] CertificateFile=/c.pem: its KeyFile is needed too"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=mqtts://b\nKeyFile=/c.key\nSite=s\n",
         "[Mqtt] KeyFile=/c.key: its CertificateFile is needed too"},
        // A WebSocket's path goes on the request line as it stands.
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=ws://b/m q\nSite=s\n", "[Mqtt] Broker=ws://b/m q: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=ws://b/m?x=1\nSite=s\n", "[Mqtt] Broker=ws://b/m?x=1: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=wss://b/m#x\nSite=s\n", "[Mqtt] Broker=wss://b/m#x: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=ws://b/\xc3\xa9\nSite=s\n", "[Mqtt] Broker=ws://b/\xc3\xa9: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=ws:///mqtt\nSite=s\n", "[Mqtt] Broker=ws:///mqtt: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=wss://u@b/mqtt\nSite=s\n", "[Mqtt] Broker=wss://u@b/mqtt: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=wsss://b\nSite=s\n", "[Mqtt] Broker=wsss://b: mqtt://"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=ws://b\nTls=1\nSite=s\n", "[Mqtt] Tls=1: the Broker's scheme says"},
        // A thumbprint: 40 hex digits, for TLS.
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=wss://b\nSite=s\nCertificateThumbprint=" + std::string(39, 'a') + "\n",
         "a certificate's SHA-1 thumbprint is needed: 40 hex digits"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=wss://b\nSite=s\nCertificateThumbprint=" + std::string(41, 'a') + "\n",
         "a certificate's SHA-1 thumbprint is needed: 40 hex digits"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=wss://b\nSite=s\nCertificateThumbprint=" + std::string(39, 'a') + "g\n",
         "a certificate's SHA-1 thumbprint is needed: 40 hex digits"},
        {"[Agent]\nDrawers=A\n[Mqtt]\nBroker=ws://b\nSite=s\nCertificateThumbprint=" + std::string(40, 'a') + "\n",
         "a client certificate is for TLS: use wss://"},
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

// A thumbprint as the certificate manager shows it: pairs, spaces, colons,
// either case; kept as 40 upper-case digits.
TEST(AgentSettings, AThumbprintIsTakenAsTheCertificateManagerShowsIt) {
    std::string error;
    const auto settings = Parse("[Agent]\nDrawers=A\n[Mqtt]\nBroker=wss://b\nSite=s\nCertificateThumbprint=22:91:2c:d9 "
                                "6C:A1:72:7D:FB:61:64:B3:5B:1E:36:01:B7:C1:61:DE\n",
                                error);
    ASSERT_TRUE(settings) << error;
    EXPECT_EQ(settings->mqtt.certificateThumbprint, "22912CD96CA1727DFB6164B35B1E3601B7C161DE");
}

TEST(AgentSettings, TheBrokerAndTheTerminalsNamesForTheFleet) {
    const struct {
        std::string mqtt;
        std::string url; // as the log names the broker; "" for none
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
        // MQTT over a WebSocket: HTTP's ports, the path /mqtt unless named.
        {"Broker=ws://b\nSite=s1\n", "ws://b:80/mqtt", false, "till-9", "cashdrawer-s1-till-9"},
        {"Broker=wss://b\nSite=s1\n", "wss://b:443/mqtt", true, "till-9", "cashdrawer-s1-till-9"},
        {"Broker=ws://b:9001/\nTls=0\nSite=s1\n", "ws://b:9001/", false, "till-9", "cashdrawer-s1-till-9"},
        {"Broker=wss://[::1]:8081/a/b~c\nSite=s1\n", "wss://[::1]:8081/a/b~c", true, "till-9", "cashdrawer-s1-till-9"},
        {"Broker=ws://b/" + std::string(247, 'p') + "\nSite=s1\n", "ws://b:80/" + std::string(247, 'p'), false, "till-9", "cashdrawer-s1-till-9"},
    };
    for (const auto& row : rows) {
        std::string error;
        const auto settings = Parse("[Agent]\nDrawers=A\n[Mqtt]\n" + row.mqtt, error);
        ASSERT_TRUE(settings) << row.mqtt << error;
        const MqttSettings& mqtt = settings->mqtt;
        EXPECT_EQ(mqtt.Enabled(), !row.url.empty()) << row.mqtt;
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
        // (A NUL is refused with the file, before any value is read.)
        const bool nul = id.find('\0') != std::string::npos;
        EXPECT_NE(error.find(nul ? "the file holds NUL bytes" : "a drawer id is letters, digits"), std::string::npos) << error;
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

// The client certificate's key must be the agent's account's alone: the
// mode beside the one taken (0600) is refused, and the file is named.
TEST(AgentSettings, AClientKeyOthersMayReadIsRefused) {
    testing::TempFolder folder;
    testing::WriteText(folder / "till.pem", "certificate");
    const struct {
        const char* key;
        ::mode_t mode;
        const char* why; // null: taken
    } cases[] = {
        {"key-600", 0600, nullptr},
        {"key-400", 0400, nullptr},
        {"key-640", 0640, "other accounts may read it (mode 640): chmod 600 it"},
        {"key-604", 0604, "other accounts may read it (mode 604): chmod 600 it"},
        {"key-610", 0610, "other accounts may read it (mode 610): chmod 600 it"},
        {"missing", 0, "the file cannot be read: No such file or directory"},
        {"folder", 0, "not a plain file"},
    };
    std::filesystem::create_directory(folder / "folder");
    for (const auto& c : cases) {
        if (c.mode != 0) {
            testing::WriteText(folder / c.key, "key");
            ASSERT_EQ(::chmod((folder / c.key).c_str(), c.mode), 0);
        }
        const std::string file = folder / (std::string(c.key) + ".ini");
        testing::WriteText(file, "[Agent]\nDrawers=A\n[Mqtt]\nBroker=mqtts://b\nSite=s\nCertificateFile=" +
                                     (folder / "till.pem") + "\nKeyFile=" + (folder / c.key) + "\n");
        std::string error;
        const auto settings = ReadAgentSettings(file, error);
        if (c.why == nullptr) {
            ASSERT_TRUE(settings) << c.key << ": " << error;
            EXPECT_EQ(settings->mqtt.keyFile, folder / c.key);
            EXPECT_EQ(settings->mqtt.certificateFile, folder / "till.pem");
        } else {
            EXPECT_FALSE(settings) << c.key;
            EXPECT_EQ(error, file + ": [Mqtt] KeyFile=" + (folder / c.key) + ": " + c.why);
        }
    }
}

// What a key-by-key reading passes over in silence: each slip is either
// refused, naming its line, or warned of with the nearest name read.
TEST(AgentSettings, TheFilesLayoutIsCheckedLineByLine) {
    const std::string drawers = "[Agent]\nDrawers=RN340_CashA\n";
    const struct {
        const char* what;
        std::string text;
        const char* refusal; // part of the error; null when the settings are taken
        std::vector<std::string> warnings;
    } rows[] = {
        {"a misspelt key", drawers + "PolMs=50\n", nullptr,
         {"line 3: [Agent] PolMs is no setting the agent reads: did you mean PollMs?"}},
        {"two letters swapped", drawers + "[Mqtt]\nBorker=mqtt://b\n", nullptr,
         {"line 4: [Mqtt] Borker is no setting the agent reads: did you mean Broker?"}},
        {"a key far from any", drawers + "Colour=red\n", nullptr, {"line 3: [Agent] Colour is no setting the agent reads"}},
        {"a drawer's section it does not watch", drawers + "[RN340_CashB]\nOpenWhen=1\n", nullptr,
         {"line 3: [RN340_CashB] is no section the agent reads: did you mean RN340_CashA? (a drawer's section needs it "
          "in [Agent] Drawers)"}},
        {"a key before any section", "PollMs=5\n" + drawers, nullptr, {"line 1: PollMs stands before any section: it is not read"}},
        {"a line that is no setting", drawers + "PollMs 50\n", nullptr,
         {"line 3: \"PollMs 50\" is no setting (Key=value), section ([Name]) or comment (; ...): it is not read"}},
        {"comments and blank lines", "; the till's drawer\n\n# and a note\n" + drawers, nullptr, {}},
        {"a file from Windows, with blanks about", "[Agent] \r\nDrawers=RN340_CashA\r\n  PolMs = 50\t\r\n[ Mqtt ]\r\n", nullptr,
         {"line 3: [Agent] PolMs is no setting the agent reads: did you mean PollMs?"}},
        {"a second [Agent] whose value is not read", drawers + "[Agent]\nPollMs=abc\n",
         "line 3: [Agent] is there a second time (first at line 1)", {}},
        {"a second [agent], in another case", drawers + "[agent]\nPollMs=50\n", "line 3: [agent] is there a second time", {}},
        {"a repeated key", drawers + "PollMs=50\npollms=60\n", "line 4: [Agent] pollms is set a second time (first at line 3)", {}},
        {"the same key in two sections is two keys", drawers + "[RN340_CashA]\nOpenWhen=1\n[Mqtt]\n", nullptr, {}},
        {"a value of 254 bytes", drawers + "Library=" + std::string(254, 'x') + "\n", nullptr, {}},
        {"a quoted value of 254 bytes", drawers + "Library=\"" + std::string(254, 'x') + "\"\n", nullptr, {}},
        {"a value of 255 bytes", drawers + "JournalFolder=" + std::string(255, 'x') + "\n",
         "line 3: [Agent] JournalFolder: the value is 255 bytes long; at most 254 are read", {}},
        {"a quoted value of 255 bytes", drawers + "Library='" + std::string(255, 'x') + "'\n",
         "line 3: [Agent] Library: the value is 255 bytes long; at most 254 are read", {}},
        {"a value of a megabyte", drawers + "JournalFolder=" + std::string(1 << 20, 'x') + "\n",
         "line 3: [Agent] JournalFolder: the value is 1048576 bytes long", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::string error;
        const auto settings = Parse(row.text, error);
        if (row.refusal) {
            EXPECT_FALSE(settings);
            EXPECT_NE(error.find(std::string("/etc/cashdrawer/cashdrawer-agent.ini: ") + row.refusal), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(settings) << error;
        std::vector<std::string> expected;
        for (const std::string& warning : row.warnings) {
            expected.push_back("/etc/cashdrawer/cashdrawer-agent.ini: " + warning);
        }
        EXPECT_EQ(settings->warnings, expected);
    }
}

// Notepad saves "Unicode" as UTF-16 with a byte order mark, and UTF-8 with
// one; both are read as the same settings.
TEST(AgentSettings, AByteOrderMarkAndUtf16AreRead) {
    const std::string text = "[Agent]\nDrawers=RN340_CashA\nJournalFolder=C:\\Caf\xc3\xa9\\\xf0\x9f\x92\xb0\n";
    const auto utf16 = [&](bool bigEndian) {
        // (The text's letters as UTF-16 units: ASCII, e-acute, and a money bag past the BMP.)
        std::u16string units;
        for (std::size_t at = 0; at < text.size(); ++at) {
            const auto byte = static_cast<unsigned char>(text[at]);
            if (byte < 0x80) {
                units += static_cast<char16_t>(byte);
            } else if (byte == 0xc3) {
                units += u'\u00e9';
                at += 1;
            } else {
                units += u"\U0001F4B0";
                at += 3;
            }
        }
        std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
        for (const char16_t unit : units) {
            const char high = static_cast<char>(unit >> 8);
            const char low = static_cast<char>(unit & 0xFF);
            bytes += bigEndian ? std::string{high, low} : std::string{low, high};
        }
        return bytes;
    };
    const struct {
        const char* what;
        std::string bytes;
    } taken[] = {{"UTF-8", text}, {"UTF-8 with its mark", "\xEF\xBB\xBF" + text},
                 {"UTF-16 little-endian", utf16(false)}, {"UTF-16 big-endian", utf16(true)}};
    for (const auto& row : taken) {
        std::string error;
        const auto settings = Parse(row.bytes, error);
        ASSERT_TRUE(settings) << row.what << ": " << error;
        EXPECT_EQ(settings->drawers.at(0).id, "RN340_CashA") << row.what;
        EXPECT_EQ(settings->journalFolder, "C:\\Caf\xc3\xa9\\\xf0\x9f\x92\xb0") << row.what;
    }
    const struct {
        const char* what;
        std::string bytes;
        const char* said;
    } refused[] = {
        {"UTF-16 without its mark", utf16(false).substr(2), "the file holds NUL bytes"},
        {"UTF-16 cut in the middle of a unit", utf16(false).substr(0, 9), "odd number of bytes"},
        {"half a character", std::string("\xFF\xFE\x3D\xD8", 4), "half a character"},
        {"a low half alone", std::string("\xFF\xFE\x00\xDC", 4), "half a character"},
        {"the first high half alone", std::string("\xFF\xFE\x00\xD8", 4), "half a character"},
        {"the last low half alone", std::string("\xFF\xFE\xFF\xDF", 4), "half a character"},
        {"a high half before a letter", std::string("\xFF\xFE\xFF\xDB\x41\x00", 6), "half a character"},
        {"a low half after a letter past the halves", std::string("\xFF\xFE\x00\xE0\x00\xDC", 6), "half a character"},
        // (Long enough to sit on the heap, where a read past its end shows.)
        {"a high half at the very end, past the first units", utf16(false) + std::string("\x3D\xD8", 2), "half a character"},
    };
    for (const auto& row : refused) {
        std::string error;
        // A copy holds its bytes and no more: a read past them shows.
        const std::string exact(row.bytes.begin(), row.bytes.end());
        EXPECT_FALSE(Parse(exact, error)) << row.what;
        EXPECT_NE(error.find(row.said), std::string::npos) << row.what << ": " << error;
    }
    // The pairs at both ends of the planes past the first, and the last
    // character before the halves.
    const struct {
        std::u16string units;
        const char* utf8;
    } edges[] = {{u"\U00010000", "\xF0\x90\x80\x80"}, {u"\U0010FFFF", "\xF4\x8F\xBF\xBF"}, {u"\uD7FF", "\xED\x9F\xBF"},
                 {u"\uE000", "\xEE\x80\x80"}};
    for (const auto& edge : edges) {
        std::string bytes = "\xFF\xFE";
        for (const char16_t unit : u"[Agent]\nDrawers=A\nLibrary=" + edge.units + u"\n") {
            bytes += static_cast<char>(unit & 0xFF);
            bytes += static_cast<char>(unit >> 8);
        }
        std::string error;
        const auto settings = Parse(bytes, error);
        ASSERT_TRUE(settings) << error;
        EXPECT_EQ(settings->library, edge.utf8);
    }
}

TEST(NearestNames, EditDistanceCountsEachSlipOnce) {
    const struct {
        const char* a;
        const char* b;
        std::size_t distance;
    } rows[] = {
        {"", "abc", 3},      {"abc", "", 3},          {"x", "abc", 3},      {"a", "abc", 2},
        {"abc", "x", 3},     {"ab", "ba", 1},         {"abcd", "acbd", 1},  {"PollMs", "pollms", 0},
        {"kitten", "sitting", 3}, {"RN340", "RN340_CashA", 6}, {"RN34O_CashA", "RN340_CashA", 1},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(EditDistance(row.a, row.b), row.distance) << row.a << " / " << row.b;
    }
}

TEST(NearestNames, SlipsWithinAThirdOfTheNameAndNamesItBegins) {
    const std::vector<std::string> known = {"RN340_CashA", "RN340_CashB", "KV7640_CashA", "PollMs", "--simulate"};
    const struct {
        const char* typed;
        std::vector<std::string> nearest;
    } rows[] = {
        {"RN34O_CashA", {"RN340_CashA"}},               // a letter O for a zero
        {"rn340_casha", {"RN340_CashA"}},               // case is no slip
        {"RN340", {"RN340_CashA", "RN340_CashB"}},      // a model without its drawer
        {"RN340_CashC", {"RN340_CashA", "RN340_CashB"}}, // one slip from both
        {"PlolMs", {"PollMs"}},                          // two letters swapped: one slip
        {"PolMs", {"PollMs"}},
        {"PMs", {}},                                     // 3 letters: 1 slip allowed, 3 needed
        {"Pols", {}},                                    // 4 letters: 1 slip allowed, 2 needed
        {"RN340_Cashiers", {}},                          // 14 letters: 3 slips at most, 4 needed
        {"--simulte", {"--simulate"}},
        {"--simu", {"--simulate"}},                      // begins it
        {"--bogus", {}},
        {"", {}},
        {"KV7_CshAx", {}},                               // 9 letters, 3 slips allowed: 5 away, and no prefix
        {"KV7640_Xy", {}},
        {"KV76_CshA", {"KV7640_CashA"}},                 // 3 slips: still near
    };
    for (const auto& row : rows) {
        EXPECT_EQ(NearestNames(row.typed, known), row.nearest) << row.typed;
    }
    EXPECT_EQ(OneOf({"A"}), "A");
    EXPECT_EQ(OneOf({"A", "B", "C"}), "A, B or C");
    EXPECT_EQ(NearestNames("RN340", known, 1), std::vector<std::string>{"RN340_CashA"});
    // Ties past the most asked for are left out, the first ones kept.
    EXPECT_EQ(NearestNames("RN340_CashC", known, 1), std::vector<std::string>{"RN340_CashA"});
    EXPECT_EQ(NearestNames("A5", {"A1", "A2", "A3", "A4"}), (std::vector<std::string>{"A1", "A2", "A3"}));
}

} // namespace
} // namespace cashdrawer::agent
