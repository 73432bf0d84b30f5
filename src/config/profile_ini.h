// Our own INI store, for platforms without private-profile functions. It
// follows their rules (see profile_store.h) and, like Windows itself,
// rewrites only the line a write changes: comments, blank lines and the
// layout of every other line stay as the file had them.
#pragma once

#include "config/profile_store.h"

#include <string_view>

namespace cashdrawer {

// The rules on a file's text, apart from reading and writing the file.
// A value as a read returns it, cut to ProfileStore::kMaxValueLength.
std::string ReadIniValue(const std::string& content, std::string_view section, std::string_view key);
// The file's text after a write of the key.
std::string WriteIniValue(const std::string& content, std::string_view section, std::string_view key,
                          std::string_view value);

class IniProfileStore final : public ProfileStore {
public:
    std::string CurrentDirectory() override;
    char PathSeparator() const override;
    std::string ReadString(const std::string& path, const std::string& section, const std::string& key) override;
    void WriteString(const std::string& path, const std::string& section, const std::string& key,
                     const std::string& value) override;
};

} // namespace cashdrawer
