#include "core/settings_text.h"

#include "config/nearest_name.h"
#include "config/profile_store.h"

#include <algorithm>
#include <map>
#include <string_view>

namespace cashdrawer::agent {
namespace {

// What the agent reads, section by section. A drawer's section is named
// after the drawer.
const std::vector<std::string> kAgentKeys = {"Drawers",          "PollMs",     "LeftOpenMs", "JournalFolder",
                                             "JournalFileBytes", "JournalFolderShared",      "Library",
                                             "BridgePort",       "KickGuardMs"};
const std::vector<std::string> kMqttKeys = {"Broker",   "Tls",      "CaFile",          "Site",           "Terminal",
                                            "ClientId", "CredentialsFile", "CertificateFile", "KeyFile",
                                            "CertificateThumbprint"};
const std::vector<std::string> kDrawerKeys = {"OpenWhen"};

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = LowerAscii(c);
    }
    return lower;
}

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::optional<std::string> FromUtf16(std::string_view bytes, bool bigEndian, std::string& why) {
    if (bytes.size() % 2 != 0) {
        why = "the file is UTF-16 with an odd number of bytes: it was cut";
        return std::nullopt;
    }
    const auto unit = [&](std::size_t at) {
        const auto first = static_cast<unsigned char>(bytes[at]);
        const auto second = static_cast<unsigned char>(bytes[at + 1]);
        return static_cast<uint32_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
    };
    std::string out;
    for (std::size_t at = 0; at < bytes.size(); at += 2) {
        uint32_t code = unit(at);
        if (code >= 0xD800 && code <= 0xDBFF && at + 3 < bytes.size()) {
            const uint32_t low = unit(at + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                at += 2;
            }
        }
        if (code >= 0xD800 && code <= 0xDFFF) {
            why = "the file is UTF-16 with half a character in it";
            return std::nullopt;
        }
        AppendUtf8(out, code);
    }
    return out;
}

} // namespace

std::optional<std::string> DecodeSettingsText(const std::string& bytes, std::string& why) {
    const std::string_view view(bytes);
    if (view.starts_with("\xEF\xBB\xBF")) {
        return std::string(view.substr(3));
    }
    if (view.starts_with("\xFF\xFE") || view.starts_with("\xFE\xFF")) {
        return FromUtf16(view.substr(2), view.front() == '\xFE', why);
    }
    if (view.find('\0') != std::string_view::npos) {
        why = "the file holds NUL bytes: save it as UTF-8 (or UTF-16 with its byte order mark)";
        return std::nullopt;
    }
    return bytes;
}

bool CheckSettingsLayout(const std::string& file, const std::string& text, const std::vector<std::string>& drawerIds,
                         std::vector<std::string>& warnings, std::string& error) {
    const std::vector<std::string> sectionNames = [&] {
        std::vector<std::string> names = {"Agent", "Mqtt"};
        names.insert(names.end(), drawerIds.begin(), drawerIds.end());
        return names;
    }();
    const auto keysOf = [&](const std::string& lowerSection) -> const std::vector<std::string>* {
        if (lowerSection == "agent") {
            return &kAgentKeys;
        }
        if (lowerSection == "mqtt") {
            return &kMqttKeys;
        }
        for (const std::string& id : drawerIds) {
            if (Lower(id) == lowerSection) {
                return &kDrawerKeys;
            }
        }
        return nullptr;
    };
    const auto nearest = [](std::string_view typed, const std::vector<std::string>& known) {
        const auto names = NearestNames(typed, known);
        return names.empty() ? std::string() : ": did you mean " + OneOf(names) + "?";
    };

    std::map<std::string, std::size_t> sectionLines;           // lower-case name -> its line
    std::map<std::string, std::size_t> keyLines;               // of the section at hand
    std::string section;                                       // as written
    const std::vector<std::string>* known = nullptr;           // its keys; null for one not read
    bool inSection = false;
    std::size_t number = 0;
    // (`<=` would read one empty line past the end, which is skipped.)
    for (std::size_t start = 0; start < text.size(); ++number) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = Trim(std::string_view(text).substr(start, end - start));
        start = end + 1;
        const std::string where = file + ": line " + std::to_string(number + 1) + ": ";
        if (line.empty() || line.front() == ';' || line.front() == '#') {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            section = std::string(Trim(line.substr(1, line.size() - 2)));
            const std::string lower = Lower(section);
            if (const auto first = sectionLines.find(lower); first != sectionLines.end()) {
                error = where + "[" + section + "] is there a second time (first at line " +
                        std::to_string(first->second) + "): only the first is read, so write its keys there";
                return false;
            }
            sectionLines[lower] = number + 1;
            keyLines.clear();
            inSection = true;
            known = keysOf(lower);
            if (!known) {
                warnings.push_back(where + "[" + section + "] is no section the agent reads" +
                                   nearest(section, sectionNames) + " (a drawer's section needs it in [Agent] Drawers)");
            }
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            warnings.push_back(where + "\"" + std::string(line.substr(0, 40)) +
                               "\" is no setting (Key=value), section ([Name]) or comment (; ...): it is not read");
            continue;
        }
        const std::string key(Trim(line.substr(0, equals)));
        const std::string_view value = Trim(line.substr(equals + 1));
        if (!inSection) {
            warnings.push_back(where + key + " stands before any section: it is not read");
            continue;
        }
        if (const auto first = keyLines.find(Lower(key)); first != keyLines.end()) {
            error = where + "[" + section + "] " + key + " is set a second time (first at line " +
                    std::to_string(first->second) + "): say which you mean";
            return false;
        }
        keyLines[Lower(key)] = number + 1;
        // The reader takes a quoted value without its quotes, and cuts what
        // is longer than a profile value may be: a cut path is another path.
        const bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                            value.back() == value.front();
        const std::size_t length = value.size() - (quoted ? 2 : 0);
        if (length > ProfileStore::kMaxValueLength) {
            error = where + "[" + section + "] " + key + ": the value is " + std::to_string(length) +
                    " bytes long; at most " + std::to_string(ProfileStore::kMaxValueLength) + " are read";
            return false;
        }
        if (known && std::none_of(known->begin(), known->end(),
                                  [&](const std::string& name) { return Lower(name) == Lower(key); })) {
            warnings.push_back(where + "[" + section + "] " + key + " is no setting the agent reads" +
                               nearest(key, *known));
        }
    }
    return true;
}

} // namespace cashdrawer::agent
