// The agent's settings, from cashdrawer-agent.ini:
//
//   [Agent]
//   Drawers=RN340_CashA, KV7640_CashB   ; the drawers watched
//   PollMs=100                          ; a status read per drawer this often
//   LeftOpenMs=30000                    ; an alarm when open this long (0: none)
//   JournalFolder=/var/lib/cashdrawer/journal
//   JournalFileBytes=8388608            ; a journal file's size before the next
//   Library=                            ; the drawer library (empty: the usual one)
//   BridgePort=17820                    ; HTTP for web tills, on 127.0.0.1 and ::1 only (0: none)
//   KickGuardMs=1000                    ; a web till's second kick of a drawer waits this long
//
//   [RN340_CashA]
//   OpenWhen=0                          ; the state bit that means open
//
// A drawer without OpenWhen is reported by its raw state bit, open or
// closed unknown: the library reports the bit as the hardware gives it, and
// which level means open depends on the drawer's wiring.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cashdrawer::agent {

struct WatchedDrawer {
    std::string id;
    std::optional<int> openWhen; // 0 or 1
};

struct AgentSettings {
    std::string file; // where they came from
    std::vector<WatchedDrawer> drawers;
    uint32_t pollMs = 100;
    uint32_t leftOpenMs = 30000;
    std::string journalFolder;
    uint64_t journalFileBytes = 8u << 20;
    std::string library;
    uint32_t bridgePort = 17820;
    uint32_t kickGuardMs = 1000;
};

// Limits a value must keep to; outside them the agent does not start.
inline constexpr uint32_t kMinPollMs = 10;
inline constexpr uint32_t kMaxPollMs = 60000;
inline constexpr uint32_t kMaxLeftOpenMs = 24u * 3600 * 1000;
inline constexpr uint64_t kMinJournalFileBytes = 4096;
inline constexpr uint64_t kMaxJournalFileBytes = 1ull << 30;
inline constexpr uint32_t kMaxKickGuardMs = 60000;

// The settings from the file's text; nothing, with `error` naming the file,
// the key and the value, when one is missing or out of its limits.
std::optional<AgentSettings> ParseAgentSettings(const std::string& file, const std::string& text,
                                                const std::string& defaultJournalFolder, std::string& error);

// Read from the file; a file that cannot be read is an error too.
std::optional<AgentSettings> ReadAgentSettings(const std::string& file, std::string& error);

// Where the settings and the journal live on this system.
std::string DefaultSettingsFile();
std::string DefaultJournalFolder();

} // namespace cashdrawer::agent
