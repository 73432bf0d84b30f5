#include "config/config_file.h"

#include <array>
#include <algorithm>
#include <limits>
#include <span>

namespace cashdrawer {
namespace {

constexpr char kPortKey[] = "ComNuM";
constexpr char kBaudKey[] = "Baudint";
constexpr char kDeviceKey[] = "Device";

struct DefaultEntry {
    const char* section;
    const char* key;
    const char* value;
};

// The file's order when no drawer is chosen: the chosen key first, then
// the A drawers, then the B drawers. The list leaves out the models that
// share the RN370's wiring and the serial drawer; a user adds a line to
// choose one of them.
constexpr std::array<DefaultEntry, 38> kDefaults = {{
    {kMachineSection, kChosenKey, kDefaultChosenKey},
    {kListSection, "KV4980_A", "KV4980_CashA"},
    {kListSection, "KV7820_A", "KV7820_CashA"},
    {kListSection, "KV7830_A", "KV7830_CashA"},
    {kListSection, "KV7450_A", "KV7450_CashA"},
    {kListSection, "KV9320_A", "KV9320_CashA"},
    {kListSection, "KV9360_A", "KV9360_CashA"},
    {kListSection, "KV7100_A", "KV7100_CashA"},
    {kListSection, "RN320_A", "RN320_CashA"},
    {kListSection, "RN2110_A", "RN2110_CashA"},
    {kListSection, "RN170_A", "RN170_CashA"},
    {kListSection, kDefaultChosenKey, kDefaultChosenDrawer},
    {kListSection, "KV2790L_A", "KV2790L_CashA"},
    {kListSection, "RN2150_A", "RN2150_CashA"},
    {kListSection, "KV8041N_A", "KV8041N_CashA"},
    {kListSection, "KV8041M_A", "KV8041M_CashA"},
    {kListSection, "KV2470_A", "KV2470_CashA"},
    {kListSection, "RN2180_A", "RN2180_CashA"},
    {kListSection, "RN3470_A", "RN3470_CashA"},
    {kListSection, "RN6620_A", "RN6620_CashA"},
    {kListSection, "KV4980_B", "KV4980_CashB"},
    {kListSection, "KV7820_B", "KV7820_CashB"},
    {kListSection, "KV7830_B", "KV7830_CashB"},
    {kListSection, "KV7450_B", "KV7450_CashB"},
    {kListSection, "KV9320_B", "KV9320_CashB"},
    {kListSection, "KV9360_B", "KV9360_CashB"},
    {kListSection, "KV7100_B", "KV7100_CashB"},
    {kListSection, "RN320_B", "RN320_CashB"},
    {kListSection, "RN2110_B", "RN2110_CashB"},
    {kListSection, "RN170_B", "RN170_CashB"},
    {kListSection, "RN340_B", "RN340_CashB"},
    {kListSection, "RN2150_B", "RN2150_CashB"},
    {kListSection, "KV8041N_B", "KV8041N_CashB"},
    {kListSection, "KV8041M_B", "KV8041M_CashB"},
    {kListSection, "KV2470_B", "KV2470_CashB"},
    {kListSection, "RN2180_B", "RN2180_CashB"},
    {kListSection, "RN3470_B", "RN3470_CashB"},
    {kListSection, "RN6620_B", "RN6620_CashB"},
}};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

} // namespace

int32_t ParseDecimal(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && IsBlank(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    // Accumulated as a magnitude that stops growing past the int32 range.
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        magnitude = std::min<int64_t>(magnitude * 10 + (text[at] - '0'), kLimit);
    }
    if (negative) {
        return static_cast<int32_t>(-magnitude);
    }
    return static_cast<int32_t>(std::min<int64_t>(magnitude, std::numeric_limits<int32_t>::max()));
}

std::string ConfigFile::BuildConfigPath() {
    const std::string directory = store_.CurrentDirectory();
    if (directory.empty()) {
        // Not the file at the root, nor one the platform would look for in
        // its own folder: there is no file.
        return {};
    }
    // The separator is added even after a drive root's own, as the file
    // has always been named: "C:\\CashDrawerconfig.ini" still opens.
    return directory + store_.PathSeparator() + kConfigFileName;
}

bool ConfigFile::Available() { return !BuildConfigPath().empty(); }

std::string ConfigFile::ReadChosenKey() {
    const std::string path = BuildConfigPath();
    return path.empty() ? std::string() : store_.ReadString(path, kMachineSection, kChosenKey);
}

std::optional<std::string> ConfigFile::ReadChosenDrawer() {
    const std::string chosenKey = ReadChosenKey();
    if (chosenKey.empty()) {
        return std::nullopt;
    }
    return store_.ReadString(BuildConfigPath(), kListSection, chosenKey);
}

void ConfigFile::WriteDefaultConfiguration() {
    const std::string path = BuildConfigPath();
    if (path.empty()) {
        return;
    }
    // Another process reads the file between any two of these writes. The
    // chosen key is set last, once the list names its drawer, so a reader
    // never finds a choice that leads nowhere. It is written empty first
    // (it reads empty already: that is why the defaults are written) to
    // keep its section at the top of a new file.
    const DefaultEntry& chosen = kDefaults.front();
    store_.WriteString(path, chosen.section, chosen.key, "");
    for (const DefaultEntry& entry : std::span(kDefaults).subspan(1)) {
        store_.WriteString(path, entry.section, entry.key, entry.value);
    }
    store_.WriteString(path, chosen.section, chosen.key, chosen.value);
}

SerialSettings ConfigFile::ReadSerialSettings(const char* drawerId) {
    const std::string path = BuildConfigPath();
    if (path.empty()) {
        return {}; // as for a file without the drawer's section
    }
    return SerialSettings{
        .ComNuM = ParseDecimal(store_.ReadString(path, drawerId, kPortKey)),
        .Baudint = ParseDecimal(store_.ReadString(path, drawerId, kBaudKey)),
        .Device = store_.ReadString(path, drawerId, kDeviceKey),
    };
}

} // namespace cashdrawer
