// The INI rules and the store. For any file text and any write: a value
// written reads back (when it can be spelt on one line), no other key
// changes, and the file the store leaves equals the rules' own text.

#include "config/profile_ini.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "fuzz_input.h"

using cashdrawer::fuzz::Require;

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == 0x1a; }

// A name the file can hold unchanged: one line, no blanks at its ends, and
// nothing the rules read as syntax.
bool PlainName(std::string_view name) {
    if (name.empty() || IsBlank(name.front()) || IsBlank(name.back()) || name.front() == '[') {
        return false;
    }
    return name.find_first_of("=]\r\n") == std::string_view::npos;
}

bool PlainValue(std::string_view value) {
    if (value.size() > cashdrawer::ProfileStore::kMaxValueLength || value.find_first_of("\r\n") != std::string_view::npos) {
        return false;
    }
    if (!value.empty() && (IsBlank(value.front()) || IsBlank(value.back()))) {
        return false;
    }
    return value.size() < 2 || !((value.front() == '"' || value.front() == '\'') && value.back() == value.front());
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Names match in any letter case, blanks around them aside.
bool SameName(std::string_view a, std::string_view b) {
    a = Trim(a);
    b = Trim(b);
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    cashdrawer::fuzz::FuzzInput input(data, size);
    const std::string section = input.Until('\0');
    const std::string key = input.Until('\0');
    const std::string value = input.Until('\0');
    const std::string otherSection = input.Until('\0');
    const std::string otherKey = input.Until('\0');
    const std::string content = input.Rest();

    const std::string written = cashdrawer::WriteIniValue(content, section, key, value);
    if (PlainName(section) && PlainName(key) && PlainValue(value)) {
        Require(cashdrawer::ReadIniValue(written, section, key) == value);
    }
    const bool oneLine = PlainName(section) && PlainName(key) && value.find_first_of("\r\n") == std::string::npos;
    if (oneLine && (!SameName(key, otherKey) || !SameName(section, otherSection))) {
        Require(cashdrawer::ReadIniValue(written, otherSection, otherKey) ==
                cashdrawer::ReadIniValue(content, otherSection, otherKey));
    }

    // The store on a real file does what the rules say, byte for byte.
    static const std::string path = [] {
        // Memory-backed where there is one: the store syncs every write.
        char folder[] = "/dev/shm/cashdrawer-fuzz-ini-XXXXXX";
        if (::access("/dev/shm", W_OK) != 0) {
            std::snprintf(folder, sizeof folder, "/tmp/cdfuzz-XXXXXX");
        }
        Require(::mkdtemp(folder) != nullptr);
        return std::string(folder) + "/CashDrawerconfig.ini";
    }();
    {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    }
    cashdrawer::IniProfileStore store;
    store.WriteString(path, section, key, value);
    Require(FileText(path) == written);
    return 0;
}
