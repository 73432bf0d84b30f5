#include "core/settings.h"

#include "core/settings_text.h"

#include "config/profile_ini.h"
#include "os/durable_files.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace cashdrawer::agent {
namespace {

constexpr const char* kSection = "Agent";

// A whole decimal number and nothing else: "100", not "100ms" or "1e3".
std::optional<uint64_t> ParseCount(const std::string& text) {
    uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value);
    if (text.empty() || failure != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

// MQTT carries topics and client ids as UTF-8, and a broker drops a client
// whose packet holds malformed UTF-8 (as our own JSON would refuse the name
// in a health message): such a name is refused where the file can be named,
// not at the first publication. The JSON library's strict encoder is the
// judge, as it is of everything the agent writes.
bool IsWellFormedUtf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

std::string Trimmed(std::string text) {
    const auto blank = [](unsigned char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    std::size_t start = 0;
    while (start < text.size() && blank(static_cast<unsigned char>(text[start]))) {
        ++start;
    }
    return text.substr(start);
}

class SettingsReader {
public:
    SettingsReader(const std::string& file, const std::string& text, std::string& error)
        : file_(file), text_(text), error_(error) {}

    std::string Value(const std::string& section, const std::string& key) const {
        return ReadIniValue(text_, section, key);
    }

    // A number within [min, max]; `value` stays as it is when the key is absent.
    template <typename Number>
    bool ReadNumber(const char* key, Number min, Number max, Number& value) {
        const std::string text = Value(kSection, key);
        if (text.empty()) {
            return true;
        }
        const auto parsed = ParseCount(text);
        if (!parsed || *parsed < min || *parsed > max) {
            return Refuse(kSection, key, text,
                          "a whole number from " + std::to_string(min) + " to " + std::to_string(max) + " is needed");
        }
        value = static_cast<Number>(*parsed);
        return true;
    }

    bool Refuse(const std::string& section, const std::string& key, const std::string& value, const std::string& why) {
        error_ = file_ + ": [" + section + "] " + key + "=" + value + ": " + why;
        return false;
    }

private:
    const std::string& file_;
    const std::string& text_;
    std::string& error_;
};

constexpr const char* kMqttSection = "Mqtt";

bool ParseMqtt(SettingsReader& reader, const std::string& machineName,
               const std::function<std::optional<std::string>(const std::string&)>& readFile, MqttSettings& mqtt) {
    const std::string url = reader.Value(kMqttSection, "Broker");
    if (url.empty()) {
        return true;
    }
    const auto broker = ParseBroker(url);
    if (!broker) {
        return reader.Refuse(kMqttSection, "Broker", url, "mqtt://HOST[:PORT] or mqtts://HOST[:PORT] is needed (or, on Windows, "
                             "ws://HOST[:PORT][/PATH] or wss://HOST[:PORT][/PATH])");
    }
    mqtt.host = broker->host;
    mqtt.webSocket = broker->webSocket;
    mqtt.path = broker->path;
    const std::string tls = reader.Value(kMqttSection, "Tls");
    if (!tls.empty() && tls != "0" && tls != "1") {
        return reader.Refuse(kMqttSection, "Tls", tls, "0 or 1 is needed");
    }
    if (broker->tls && !tls.empty() && *broker->tls != (tls == "1")) {
        return reader.Refuse(kMqttSection, "Tls", tls, "the Broker's scheme says otherwise (" + url + ")");
    }
    mqtt.tls = broker->tls.value_or(tls == "1");
    mqtt.port = broker->PortFor(mqtt.tls);
    mqtt.caFile = reader.Value(kMqttSection, "CaFile");
    if (!mqtt.caFile.empty() && !mqtt.tls) {
        return reader.Refuse(kMqttSection, "CaFile", mqtt.caFile, "a CA file is for TLS: set Tls=1 or use mqtts://");
    }
    mqtt.certificateFile = reader.Value(kMqttSection, "CertificateFile");
    mqtt.keyFile = reader.Value(kMqttSection, "KeyFile");
    if (!mqtt.certificateFile.empty() && !mqtt.tls) {
        return reader.Refuse(kMqttSection, "CertificateFile", mqtt.certificateFile,
                             "a client certificate is for TLS: set Tls=1 or use mqtts://");
    }
    if (mqtt.certificateFile.empty() != mqtt.keyFile.empty()) {
        return mqtt.keyFile.empty()
                   ? reader.Refuse(kMqttSection, "CertificateFile", mqtt.certificateFile, "its KeyFile is needed too")
                   : reader.Refuse(kMqttSection, "KeyFile", mqtt.keyFile, "its CertificateFile is needed too");
    }
    // A thumbprint as the certificate manager shows it, spaces and all.
    const std::string thumbprint = reader.Value(kMqttSection, "CertificateThumbprint");
    for (const char c : thumbprint) {
        if (c != ' ' && c != ':') {
            mqtt.certificateThumbprint.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        }
    }
    if (!thumbprint.empty() &&
        (mqtt.certificateThumbprint.size() != 40 ||
         mqtt.certificateThumbprint.find_first_not_of("0123456789ABCDEF") != std::string::npos)) {
        return reader.Refuse(kMqttSection, "CertificateThumbprint", thumbprint,
                             "a certificate's SHA-1 thumbprint is needed: 40 hex digits");
    }
    if (!thumbprint.empty() && !mqtt.tls) {
        return reader.Refuse(kMqttSection, "CertificateThumbprint", thumbprint,
                             "a client certificate is for TLS: use wss://");
    }
    mqtt.site = reader.Value(kMqttSection, "Site");
    if (!IsTopicLevel(mqtt.site)) {
        return reader.Refuse(kMqttSection, "Site", mqtt.site,
                             "the store's name is needed: 1 to 64 characters, no space, / + or #");
    }
    const std::string terminal = reader.Value(kMqttSection, "Terminal");
    mqtt.terminal = terminal.empty() ? machineName : terminal;
    if (!IsTopicLevel(mqtt.terminal)) {
        return reader.Refuse(kMqttSection, "Terminal", mqtt.terminal,
                             "1 to 64 characters, no space, / + or # are needed (empty: the machine's name)");
    }
    mqtt.clientId = reader.Value(kMqttSection, "ClientId");
    if (mqtt.clientId.empty()) {
        mqtt.clientId = "cashdrawer-" + mqtt.site + "-" + mqtt.terminal;
    }
    // MQTT 3.1.1 asks brokers to take ids of up to 23 characters; those we
    // know take more, but no more than a topic level's worth is sensible.
    if (!IsPlainName(mqtt.clientId, 128)) {
        return reader.Refuse(kMqttSection, "ClientId", mqtt.clientId, "up to 128 characters, no space, / + or #");
    }
    mqtt.credentialsFile = reader.Value(kMqttSection, "CredentialsFile");
    if (!mqtt.credentialsFile.empty()) {
        const auto text = readFile ? readFile(mqtt.credentialsFile) : std::nullopt;
        if (!text) {
            return reader.Refuse(kMqttSection, "CredentialsFile", mqtt.credentialsFile, "the file cannot be read");
        }
        mqtt.username = ReadIniValue(*text, kMqttSection, "Username");
        mqtt.password = ReadIniValue(*text, kMqttSection, "Password");
        if (mqtt.username.empty()) {
            return reader.Refuse(kMqttSection, "CredentialsFile", mqtt.credentialsFile,
                                 "the file names no [Mqtt] Username");
        }
    }
    return true;
}

} // namespace

std::optional<BrokerAddress> ParseBroker(const std::string& url) {
    BrokerAddress broker;
    std::string rest = url;
    if (const std::size_t scheme = rest.find("://"); scheme != std::string::npos) {
        const std::string name = rest.substr(0, scheme);
        if (name != "mqtt" && name != "mqtts" && name != "ws" && name != "wss") {
            return std::nullopt;
        }
        broker.tls = name == "mqtts" || name == "wss";
        broker.webSocket = name == "ws" || name == "wss";
        rest = rest.substr(scheme + 3);
    }
    if (broker.webSocket) {
        // The HTTP path of the broker's WebSocket listener: printable ASCII,
        // no query, fragment or space (it goes on the request line as it
        // is). Its length is the settings value's, 254 bytes at most.
        const std::size_t slash = rest.find('/');
        broker.path = slash == std::string::npos ? "/mqtt" : rest.substr(slash);
        rest = rest.substr(0, slash);
        if (std::any_of(broker.path.begin(), broker.path.end(), [](char c) {
                const auto byte = static_cast<unsigned char>(c);
                return byte <= ' ' || byte >= 0x7F || c == '?' || c == '#';
            })) {
            return std::nullopt;
        }
    }
    if (rest.empty() || rest.find_first_of("/@?# ") != std::string::npos) {
        return std::nullopt;
    }
    std::string port;
    if (rest.front() == '[') { // an IPv6 address: [::1]:1883
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close == 1) {
            return std::nullopt;
        }
        broker.host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty() && after.front() != ':') {
            return std::nullopt;
        }
        port = after.empty() ? "" : after.substr(1);
        if (!after.empty() && port.empty()) {
            return std::nullopt;
        }
    } else {
        const std::size_t colon = rest.find(':');
        broker.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port = rest.substr(colon + 1);
            if (port.empty()) {
                return std::nullopt;
            }
        }
        if (broker.host.empty()) {
            return std::nullopt;
        }
    }
    if (!port.empty()) {
        const auto number = ParseCount(port);
        if (!number || *number == 0 || *number > 65535) {
            return std::nullopt;
        }
        broker.port = static_cast<uint16_t>(*number);
    }
    return broker;
}

bool IsPlainName(const std::string& text, std::size_t maxSize) {
    return !text.empty() && text.size() <= maxSize && std::none_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= ' ' || byte == 0x7F || c == '/' || c == '+' || c == '#';
    }) && IsWellFormedUtf8(text);
}

bool IsTopicLevel(const std::string& text) { return IsPlainName(text, 64); }

bool IsDrawerIdForm(const std::string& id) {
    return !id.empty() && id.size() <= 64 && std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
    });
}

std::string MqttSettings::BrokerUrl() const {
    const bool ipv6 = host.find(':') != std::string::npos;
    const char* scheme = webSocket ? (tls ? "wss://" : "ws://") : (tls ? "mqtts://" : "mqtt://");
    return scheme + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + (webSocket ? path : "");
}

namespace {

// The ids [Agent] Drawers names, as written, for the layout's check: their
// sections are known. (Their form is judged below, with the values.)
std::vector<std::string> DrawerIdsNamed(const std::string& list) {
    std::vector<std::string> ids;
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        if (std::string id = Trimmed(list.substr(start, comma - start)); !id.empty()) {
            ids.push_back(std::move(id));
        }
        start = comma + 1;
    }
    return ids;
}

} // namespace

std::optional<AgentSettings> ParseAgentSettings(const std::string& file, const std::string& bytes,
                                                const std::string& defaultJournalFolder, std::string& error,
                                                const std::string& machineName,
                                                const std::function<std::optional<std::string>(const std::string&)>& readFile) {
    std::string why;
    const auto decoded = DecodeSettingsText(bytes, why);
    if (!decoded) {
        error = file + ": " + why;
        return std::nullopt;
    }
    const std::string& text = *decoded;
    AgentSettings settings;
    settings.file = file;
    if (!CheckSettingsLayout(file, text, DrawerIdsNamed(ReadIniValue(text, kSection, "Drawers")), settings.warnings,
                             error)) {
        return std::nullopt;
    }
    SettingsReader reader(file, text, error);
    const std::string list = reader.Value(kSection, "Drawers");
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const std::string id = Trimmed(list.substr(start, comma - start));
        start = comma + 1;
        if (id.empty()) {
            continue;
        }
        if (!IsDrawerIdForm(id)) {
            // (A NUL or a line break in a name would reach the journal, the
            // logs and the web tills as part of the id.)
            reader.Refuse(kSection, "Drawers", list,
                          "a drawer id is letters, digits, '_', '-' and '.', at most 64 of them, as the library's catalogue names them");
            return std::nullopt;
        }
        const bool repeated = std::any_of(settings.drawers.begin(), settings.drawers.end(),
                                          [&id](const WatchedDrawer& d) { return d.id == id; });
        if (repeated) {
            reader.Refuse(kSection, "Drawers", list, id + " is named twice");
            return std::nullopt;
        }
        WatchedDrawer drawer{id, std::nullopt};
        const std::string openWhen = reader.Value(id, "OpenWhen");
        if (openWhen == "0" || openWhen == "1") {
            drawer.openWhen = openWhen == "1" ? 1 : 0;
        } else if (!openWhen.empty()) {
            reader.Refuse(id, "OpenWhen", openWhen, "0 or 1 is needed: the state bit that means open");
            return std::nullopt;
        }
        settings.drawers.push_back(drawer);
    }
    if (settings.drawers.empty()) {
        reader.Refuse(kSection, "Drawers", list, "name at least one drawer to watch");
        return std::nullopt;
    }
    if (!reader.ReadNumber("PollMs", kMinPollMs, kMaxPollMs, settings.pollMs) ||
        !reader.ReadNumber("LeftOpenMs", uint32_t{0}, kMaxLeftOpenMs, settings.leftOpenMs) ||
        !reader.ReadNumber("JournalFileBytes", kMinJournalFileBytes, kMaxJournalFileBytes, settings.journalFileBytes) ||
        !reader.ReadNumber("BridgePort", uint32_t{0}, uint32_t{65535}, settings.bridgePort) ||
        !reader.ReadNumber("KickGuardMs", uint32_t{0}, kMaxKickGuardMs, settings.kickGuardMs)) {
        return std::nullopt;
    }
    settings.journalFolder = reader.Value(kSection, "JournalFolder");
    if (settings.journalFolder.empty()) {
        settings.journalFolder = defaultJournalFolder;
    }
    const std::string shared = reader.Value(kSection, "JournalFolderShared");
    if (shared != "" && shared != "yes" && shared != "no") {
        reader.Refuse(kSection, "JournalFolderShared", shared, "yes or no is needed");
        return std::nullopt;
    }
    settings.journalFolderShared = shared == "yes";
    settings.library = reader.Value(kSection, "Library");
    if (!ParseMqtt(reader, machineName, readFile, settings.mqtt)) {
        return std::nullopt;
    }
    return settings;
}

std::optional<AgentSettings> ReadAgentSettings(const std::string& file, std::string& error) {
    std::string why;
    const auto text = ReadFileBytes(file, kMaxSmallFileBytes, &why);
    if (!text) {
        error = file + ": the settings file cannot be read: " + (why.empty() ? "no such file" : why);
        return std::nullopt;
    }
    auto settings = ParseAgentSettings(file, *text, DefaultJournalFolder(), error, MachineName(),
                                       [](const std::string& path) { return ReadFileBytes(path, kMaxSmallFileBytes); });
    // A private key others can read is no longer the till's alone.
    if (settings && !settings->mqtt.keyFile.empty()) {
        if (const std::string problem = PrivateFileProblem(settings->mqtt.keyFile); !problem.empty()) {
            error = file + ": [Mqtt] KeyFile=" + settings->mqtt.keyFile + ": " + problem;
            return std::nullopt;
        }
    }
    return settings;
}

} // namespace cashdrawer::agent
