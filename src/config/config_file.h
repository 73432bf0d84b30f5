// The configuration file "CashDrawerconfig.ini" in the process's current
// directory: which drawer the Default exports act on, and the serial
// drawer's port settings. Read anew on every call; nothing is cached.
//
//   [CashDrawer_Machine]
//   CurrentCashDrawer=RN340_A          short key of the chosen drawer
//   [CashDrawerList]
//   RN340_A=RN340_CashA                short key -> drawer identifier
//   [DL470_CashA]
//   ComNuM=3                           serial drawer's COM port number
//   Baudint=9600                       and baud rate
//   Device=/dev/ttyUSB0                on Linux, a device path instead of ComNuM
#pragma once

#include "config/profile_store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cashdrawer {

// The file's names, as the file has always spelt them.
inline constexpr char kConfigFileName[] = "CashDrawerconfig.ini";
inline constexpr char kMachineSection[] = "CashDrawer_Machine";
inline constexpr char kChosenKey[] = "CurrentCashDrawer";
inline constexpr char kListSection[] = "CashDrawerList";
// What the default entries choose.
inline constexpr char kDefaultChosenKey[] = "RN340_A";
inline constexpr char kDefaultChosenDrawer[] = "RN340_CashA";

// Zero until the INI is read, which every serial road does first.
struct SerialSettings {
    int32_t ComNuM = 0;  // COM port number: 1 names COM1
    int32_t Baudint = 0; // baud rate in bits per second
    // A serial device by path, for systems that name them so (Linux: a USB
    // adapter's /dev/ttyUSB0); empty: ComNuM decides. Windows ignores it.
    std::string Device = {};
};

// Leading blanks, an optional sign, then digits up to the first other
// character; 0 when there are none; clamped to the signed 32-bit range.
int32_t ParseDecimal(std::string_view text);

class ConfigFile {
public:
    explicit ConfigFile(ProfileStore& store) : store_(store) {}

    // The current directory followed by the file name, at full length;
    // empty when the current directory cannot be told (it was deleted,
    // say): then there is no configuration file, and nothing is read or
    // written.
    std::string BuildConfigPath();
    bool Available();
    // The chosen short key; empty when none is chosen.
    std::string ReadChosenKey();
    // The identifier listed for the chosen short key (empty when the list
    // lacks the key), or nothing when no drawer is chosen.
    std::optional<std::string> ReadChosenDrawer();
    // The default entries, one write each, in the file's order - but the
    // chosen key is set last, so a reader never sees it before the list
    // entry it names.
    void WriteDefaultConfiguration();
    SerialSettings ReadSerialSettings(const char* drawerId);

private:
    ProfileStore& store_;
};

} // namespace cashdrawer
