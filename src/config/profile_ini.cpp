#include "config/profile_ini.h"

#include "config/ini_file.h"
#include "platform/whole_file.h"

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

namespace cashdrawer {
namespace {

// What the platform's profile functions take for blank around names and
// values: white space, CR, and the old end-of-file mark.
constexpr std::string_view kBlanks = " \t\r\n\v\f\x1a";

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool SameName(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

// A file as its lines. Each keeps its own text and its own line break, so
// a rewrite gives back every line it does not change byte for byte.
struct IniLine {
    std::string text;      // without the line break; a lone CR stays here
    std::string lineBreak; // "\r\n", "\n", or empty on a last line without one
};

struct IniText {
    std::vector<IniLine> lines;
    const char* newBreak = "\r\n"; // for lines a write adds: the file's own, CRLF for a new file
};

IniText Parse(const std::string& content) {
    IniText text;
    if (content.find('\n') != std::string::npos && content.find("\r\n") == std::string::npos) {
        text.newBreak = "\n";
    }
    std::size_t start = 0;
    while (start < content.size()) {
        const std::size_t newline = content.find('\n', start);
        IniLine line;
        if (newline == std::string::npos) {
            line.text = content.substr(start);
            start = content.size();
        } else {
            const bool crlf = newline > start && content[newline - 1] == '\r';
            line.text = content.substr(start, newline - start - (crlf ? 1 : 0));
            line.lineBreak = crlf ? "\r\n" : "\n";
            start = newline + 1;
        }
        text.lines.push_back(std::move(line));
    }
    return text;
}

// "[name]" with blanks allowed around; the name runs to the line's last
// ']'. A '[' line without one is no section header (the platform reads it
// as a line of the section it stands in).
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() != '[') {
        return std::nullopt;
    }
    const auto close = line.rfind(']');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    return Trim(line.substr(1, close - 1));
}

struct KeyLine {
    std::string_view key;
    std::string_view value;
};

std::optional<KeyLine> ParseKeyLine(std::string_view line) {
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) {
        return std::nullopt;
    }
    return KeyLine{Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))};
}

// Lines [first, last) of a section's body; npos when the section is absent.
struct SectionSpan {
    std::size_t header = std::string::npos;
    std::size_t first = 0;
    std::size_t last = 0;
};

SectionSpan FindSection(const IniText& text, std::string_view section) {
    for (std::size_t i = 0; i < text.lines.size(); ++i) {
        const auto name = SectionName(text.lines[i].text);
        if (!name || !SameName(*name, section)) {
            continue;
        }
        std::size_t end = i + 1;
        while (end < text.lines.size() && !SectionName(text.lines[end].text)) {
            ++end;
        }
        return {i, i + 1, end};
    }
    return {};
}

std::optional<std::size_t> FindKey(const IniText& text, const SectionSpan& span, std::string_view key) {
    for (std::size_t i = span.first; i < span.last; ++i) {
        const auto entry = ParseKeyLine(text.lines[i].text);
        if (entry && SameName(entry->key, key)) {
            return i;
        }
    }
    return std::nullopt;
}

// A value quoted with the same mark at both ends is returned without them.
std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

} // namespace

std::string IniProfileStore::CurrentDirectory() {
    std::error_code error;
    const auto directory = std::filesystem::current_path(error);
    return error ? std::string() : directory.string();
}

char IniProfileStore::PathSeparator() const { return static_cast<char>(std::filesystem::path::preferred_separator); }

std::string ReadIniValue(const std::string& content, std::string_view section, std::string_view key) {
    const IniText text = Parse(content);
    const SectionSpan span = FindSection(text, section);
    if (span.header == std::string::npos) {
        return {};
    }
    const auto line = FindKey(text, span, key);
    if (!line) {
        return {};
    }
    const std::string_view value = Unquote(ParseKeyLine(text.lines[*line].text)->value);
    return std::string(value.substr(0, ProfileStore::kMaxValueLength));
}

std::string WriteIniValue(const std::string& content, std::string_view section, std::string_view key,
                          std::string_view value) {
    IniText text = Parse(content);
    const auto newLine = [&](std::string line) { return IniLine{std::move(line), text.newBreak}; };
    const std::string entry = std::string(key) + "=" + std::string(value);
    const SectionSpan span = FindSection(text, section);
    if (span.header == std::string::npos) {
        text.lines.push_back(newLine("[" + std::string(section) + "]"));
        text.lines.push_back(newLine(entry));
    } else if (const auto line = FindKey(text, span, key)) {
        // Replaced in place, under the name the file spells it with.
        IniLine& changed = text.lines[*line];
        changed.text = std::string(ParseKeyLine(changed.text)->key) + "=" + std::string(value);
    } else {
        // At the end of the section, before the blank lines that end it.
        std::size_t at = span.last;
        while (at > span.first && Trim(text.lines[at - 1].text).empty()) {
            --at;
        }
        text.lines.insert(text.lines.begin() + static_cast<std::ptrdiff_t>(at), newLine(entry));
    }

    // A rewritten file ends with a line break, as the platform leaves it.
    std::string out;
    for (const IniLine& line : text.lines) {
        out += line.text;
        out += line.lineBreak.empty() ? text.newBreak : line.lineBreak.c_str();
    }
    return out;
}

std::string IniProfileStore::ReadString(const std::string& path, const std::string& section, const std::string& key) {
    const auto content = ReadWholeFile(path);
    return content ? ReadIniValue(*content, section, key) : std::string();
}

void IniProfileStore::WriteString(const std::string& path, const std::string& section, const std::string& key,
                                  const std::string& value) {
    UpdateIniFile(path, [&](const std::string& content) { return WriteIniValue(content, section, key, value); });
}

} // namespace cashdrawer
