// INI access through the Windows private-profile functions.
#include "config/profile_store.h"

#include <windows.h>

namespace cashdrawer {
namespace {

class Win32ProfileStore final : public ProfileStore {
public:
    std::string CurrentDirectory() override {
        // Asked for its size first: a directory deeper than MAX_PATH is
        // returned whole, never cut to name some other folder.
        std::string directory;
        DWORD needed = ::GetCurrentDirectoryA(0, nullptr);
        while (needed > 0) {
            directory.resize(needed);
            const DWORD length = ::GetCurrentDirectoryA(needed, directory.data());
            if (length < needed) {
                directory.resize(length);
                return directory;
            }
            needed = length + 1; // it grew in between
        }
        return {};
    }

    char PathSeparator() const override { return '\\'; }

    std::string ReadString(const std::string& path, const std::string& section, const std::string& key) override {
        char value[kMaxValueLength + 1] = {};
        ::GetPrivateProfileStringA(section.c_str(), key.c_str(), nullptr, value, sizeof value, path.c_str());
        return value;
    }

    void WriteString(const std::string& path, const std::string& section, const std::string& key,
                     const std::string& value) override {
        ::WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path.c_str());
    }
};

// At namespace scope: a function's static would cost a handle per load
// (see clock_win32.cpp).
Win32ProfileStore systemProfileStore;

} // namespace

ProfileStore& SystemProfileStore() { return systemProfileStore; }

} // namespace cashdrawer
