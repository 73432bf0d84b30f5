// The agent's settings file, and the credentials file it names: whatever
// they hold, the reading ends with settings inside their limits or with a
// refusal that names the file, never a crash.
#include "core/settings.h"

#include <cstdlib>
#include <string>

#include "fuzz_input.h"

using cashdrawer::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace cashdrawer::agent;
    cashdrawer::fuzz::FuzzInput input(data, size);
    const std::string credentials = input.Until(0);
    const std::string text = input.Rest();
    std::string error;
    const auto settings = ParseAgentSettings("/etc/cashdrawer/cashdrawer-agent.ini", text, "/var/lib/cashdrawer/journal", error,
                                             "till-1", [&](const std::string&) { return std::optional<std::string>(credentials); });
    if (!settings) {
        Require(error.rfind("/etc/cashdrawer/cashdrawer-agent.ini: ", 0) == 0);
        return 0;
    }
    Require(!settings->drawers.empty());
    for (const WatchedDrawer& drawer : settings->drawers) {
        Require(IsDrawerIdForm(drawer.id));
    }
    Require(settings->pollMs >= kMinPollMs && settings->pollMs <= kMaxPollMs);
    Require(settings->journalFileBytes >= kMinJournalFileBytes && settings->journalFileBytes <= kMaxJournalFileBytes);
    Require(!settings->journalFolder.empty());
    Require(!settings->mqtt.Enabled() || (IsTopicLevel(settings->mqtt.site) && IsTopicLevel(settings->mqtt.terminal)));
    return 0;
}
