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
//   [Mqtt]                              ; fleet telemetry (no Broker: none)
//   Broker=mqtts://mqtt.chain.example   ; mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883);
//                                       ; Windows: ws://HOST[:PORT][/PATH] (80) or wss://... (443), PATH /mqtt
//   Site=store-0042                     ; topic levels: cashdrawer/v1/{Site}/{Terminal}/...
//   Terminal=till-3                     ; empty: the machine's name
//   ClientId=                           ; empty: cashdrawer-{Site}-{Terminal}
//   CredentialsFile=/etc/.../mqtt.ini   ; [Mqtt] Username= and Password=, readable by the agent only
//   Tls=1                               ; 0 or 1; mqtts:// means 1
//   CaFile=                             ; the CA of the broker's certificate (empty: the system's)
//   CertificateFile=                    ; the agent's own certificate for the broker (PEM), with
//   KeyFile=                            ; its private key (PEM), readable by the agent's account only
//   CertificateThumbprint=              ; Windows: the till's certificate in the machine's store (SHA-1, hex)
//
//   [RN340_CashA]
//   OpenWhen=0                          ; the state bit that means open
//
// A drawer without OpenWhen is reported by its raw state bit, open or
// closed unknown: the library reports the bit as the hardware gives it, and
// which level means open depends on the drawer's wiring.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace cashdrawer::agent {

struct WatchedDrawer {
    std::string id;
    std::optional<int> openWhen; // 0 or 1
};

// Where and as whom the agent publishes its health and events; no host:
// it publishes nothing.
struct MqttSettings {
    std::string host;
    uint16_t port = 0;
    bool tls = false;
    bool webSocket = false; // MQTT over a WebSocket, on `path`
    std::string path;
    std::string caFile;
    // The agent's client certificate and its key (both or neither), for a
    // broker that grants each till its own topics by certificate.
    std::string certificateFile;
    std::string keyFile;
    std::string certificateThumbprint; // Windows: 40 hex digits, upper case
    std::string site;
    std::string terminal;
    std::string clientId;
    std::string credentialsFile;
    std::string username; // from the credentials file
    std::string password;

    bool Enabled() const { return !host.empty(); }
    // The broker as the log and the health name it: "mqtts://host:8883".
    std::string BrokerUrl() const;
};

// Why a file that must be the agent's account's alone is not (empty: it
// is): missing, not a plain file, or readable by other accounts.
std::string PrivateFileProblem(const std::string& path);

struct AgentSettings {
    std::string file; // where they came from
    std::vector<WatchedDrawer> drawers;
    uint32_t pollMs = 100;
    uint32_t leftOpenMs = 30000;
    std::string journalFolder;
    uint64_t journalFileBytes = 8u << 20;
    // The journal folder may be one other accounts write to: only where an
    // administrator says so (JournalFolderShared=yes), as any account that
    // writes there can swap the agent's files for links.
    bool journalFolderShared = false;
    std::string library;
    uint32_t bridgePort = 17820;
    uint32_t kickGuardMs = 1000;
    MqttSettings mqtt;
    // What the file says that the agent does not read (a misspelt key, a
    // section of no drawer it watches), each naming the line: logged at the
    // start and shown by `check`.
    std::vector<std::string> warnings;
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
// "mqtt://host", "mqtts://host:8884", "[::1]:1883": the host, the port (0
// when none is named) and whether the scheme asks for TLS; nothing for
// another scheme, a path, a user part or a port that is not one.
struct BrokerAddress {
    std::string host;
    uint16_t port = 0;
    std::optional<bool> tls; // by the scheme, when one is given
    // MQTT over a WebSocket (ws:// and wss://, on the HTTP path named):
    // how a Windows till reaches its broker, through the system's HTTP
    // stack, its proxy settings and its certificate store.
    bool webSocket = false;
    std::string path; // "/mqtt" when the URL names none

    // The port to reach: the one named, else the registered one for the
    // transport (MQTT: 1883 plain, 8883 over TLS; HTTP: 80 and 443).
    uint16_t PortFor(bool useTls) const {
        return port != 0 ? port : webSocket ? (useTls ? 443 : 80) : (useTls ? 8883 : 1883);
    }
};
std::optional<BrokerAddress> ParseBroker(const std::string& url);

// `machineName` is the terminal's name where [Mqtt] Terminal is left out.
// The credentials file's text is read through `readFile` (nothing when it
// cannot be read).
std::optional<AgentSettings> ParseAgentSettings(
    const std::string& file, const std::string& text, const std::string& defaultJournalFolder, std::string& error,
    const std::string& machineName = "terminal",
    const std::function<std::optional<std::string>(const std::string&)>& readFile = nullptr);

// A name that can stand as one topic level: 1 to 64 bytes of well-formed
// UTF-8, none of them a topic separator or wildcard (/ + #), a control
// character or a space.
bool IsTopicLevel(const std::string& text);
// A drawer id as the library's catalogue writes them: "RN340_CashA".
bool IsDrawerIdForm(const std::string& id);
// The same rule, up to `maxSize` characters (a client id may have 128).
bool IsPlainName(const std::string& text, std::size_t maxSize);

// Read from the file; a file that cannot be read is an error too.
std::optional<AgentSettings> ReadAgentSettings(const std::string& file, std::string& error);

// Where the settings and the journal live on this system.
std::string DefaultSettingsFile();
std::string DefaultJournalFolder();
std::string MachineName();

} // namespace cashdrawer::agent
