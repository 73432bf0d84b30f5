#include "settings.h"

#include <gtest/gtest.h>

namespace cashdrawer::agent {
namespace {

std::optional<AgentSettings> Parse(const std::string& text, std::string& error) {
    return ParseAgentSettings("/etc/cashdrawer/cashdrawer-agent.ini", text, "/var/lib/cashdrawer/journal", error);
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
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(Parse(c.text, error)) << c.text;
        EXPECT_EQ(error.rfind("/etc/cashdrawer/cashdrawer-agent.ini: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

TEST(AgentSettings, AFileThatCannotBeReadIsNamed) {
    std::string error;
    EXPECT_FALSE(ReadAgentSettings("/nonexistent/cashdrawer-agent.ini", error));
    EXPECT_EQ(error, "/nonexistent/cashdrawer-agent.ini: the settings file cannot be read (missing, or not a file)");
}

} // namespace
} // namespace cashdrawer::agent
