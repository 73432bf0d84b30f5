#include "config/profile_ini.h"

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <cstdio>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

namespace cashdrawer {
namespace {

constexpr std::string_view kBlanks = " \t";

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

// A file as its lines, each without its line break, and whether it breaks
// them with CRLF. A rewritten file ends with a line break even where the
// original's last line had none.
struct IniText {
    std::vector<std::string> lines;
    bool crlf = true; // a new file gets the platform's CRLF
};

// Read with stdio, which reports a failed read (a folder where the file
// should be, a device error) as a short count rather than an exception.
std::optional<std::string> ReadWhole(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return std::nullopt;
    }
    std::string content;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        content.append(chunk, got);
    }
    std::fclose(file);
    return content;
}

IniText Parse(const std::string& content) {
    IniText text;
    if (content.empty()) {
        return text;
    }
    text.crlf = content.find("\r\n") != std::string::npos || content.find('\n') == std::string::npos;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            end = content.size();
        }
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        text.lines.push_back(std::move(line));
        start = end + 1;
    }
    return text;
}

// "[name]" with blanks allowed around; the name between the brackets.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() != '[') {
        return std::nullopt;
    }
    const auto close = line.find(']');
    return Trim(line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
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
        const auto name = SectionName(text.lines[i]);
        if (!name || !SameName(*name, section)) {
            continue;
        }
        std::size_t end = i + 1;
        while (end < text.lines.size() && !SectionName(text.lines[end])) {
            ++end;
        }
        return {i, i + 1, end};
    }
    return {};
}

std::optional<std::size_t> FindKey(const IniText& text, const SectionSpan& span, std::string_view key) {
    for (std::size_t i = span.first; i < span.last; ++i) {
        const auto entry = ParseKeyLine(text.lines[i]);
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
    const std::string_view value = Unquote(ParseKeyLine(text.lines[*line])->value);
    return std::string(value.substr(0, ProfileStore::kMaxValueLength));
}

std::string WriteIniValue(const std::string& content, std::string_view section, std::string_view key,
                          std::string_view value) {
    IniText text = Parse(content);
    const std::string entry = std::string(key) + "=" + std::string(value);
    const SectionSpan span = FindSection(text, section);
    if (span.header == std::string::npos) {
        text.lines.push_back("[" + std::string(section) + "]");
        text.lines.push_back(entry);
    } else if (const auto line = FindKey(text, span, key)) {
        // Replaced in place, under the name the file spells it with.
        text.lines[*line] = std::string(ParseKeyLine(text.lines[*line])->key) + "=" + std::string(value);
    } else {
        // At the end of the section, before the blank lines that end it.
        std::size_t at = span.last;
        while (at > span.first && Trim(text.lines[at - 1]).empty()) {
            --at;
        }
        text.lines.insert(text.lines.begin() + static_cast<std::ptrdiff_t>(at), entry);
    }

    std::string out;
    const char* lineBreak = text.crlf ? "\r\n" : "\n";
    for (const std::string& line : text.lines) {
        out += line;
        out += lineBreak;
    }
    return out;
}

std::string IniProfileStore::ReadString(const std::string& path, const std::string& section, const std::string& key) {
    const auto content = ReadWhole(path);
    return content ? ReadIniValue(*content, section, key) : std::string();
}

void IniProfileStore::WriteString(const std::string& path, const std::string& section, const std::string& key,
                                  const std::string& value) {
    const std::string updated = WriteIniValue(ReadWhole(path).value_or(std::string()), section, key, value);
    if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(updated.data(), 1, updated.size(), file);
        std::fclose(file);
    }
}

} // namespace cashdrawer
