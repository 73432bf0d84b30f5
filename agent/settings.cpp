#include "settings.h"

#include "config/profile_ini.h"
#include "journal_file.h"

#include <algorithm>
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

} // namespace

std::optional<AgentSettings> ParseAgentSettings(const std::string& file, const std::string& text,
                                                const std::string& defaultJournalFolder, std::string& error) {
    SettingsReader reader(file, text, error);
    AgentSettings settings;
    settings.file = file;
    const std::string list = reader.Value(kSection, "Drawers");
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const std::string id = Trimmed(list.substr(start, comma - start));
        start = comma + 1;
        if (id.empty()) {
            continue;
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
    settings.library = reader.Value(kSection, "Library");
    return settings;
}

std::optional<AgentSettings> ReadAgentSettings(const std::string& file, std::string& error) {
    const auto text = ReadFileBytes(file);
    if (!text) {
        error = file + ": the settings file cannot be read (missing, or not a file)";
        return std::nullopt;
    }
    return ParseAgentSettings(file, *text, DefaultJournalFolder(), error);
}

} // namespace cashdrawer::agent
