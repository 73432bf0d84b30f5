// Access to INI files, with the private-profile rules of the Windows API:
// section and key names match without regard to case, values come back
// without surrounding blanks, a missing file, section or key reads as the
// empty string, and a write replaces a key in place, appends it to its
// section, or appends the section to the file, creating the file if needed.
#pragma once

#include <string>

namespace cashdrawer {

class ProfileStore {
public:
    // Values longer than this are cut to it, as the platform's 255-byte
    // read buffer does.
    static constexpr std::size_t kMaxValueLength = 254;

    virtual ~ProfileStore() = default;

    // The process's current directory, at its full length.
    virtual std::string CurrentDirectory() = 0;
    // What separates a directory from a file name on this platform.
    virtual char PathSeparator() const = 0;
    virtual std::string ReadString(const std::string& path, const std::string& section, const std::string& key) = 0;
    // Failures (a folder that cannot be written) are silent.
    virtual void WriteString(const std::string& path, const std::string& section, const std::string& key,
                             const std::string& value) = 0;
};

// The INI access of the operating system the library was built for.
ProfileStore& SystemProfileStore();

} // namespace cashdrawer
