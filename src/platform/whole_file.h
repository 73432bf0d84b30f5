// A whole file's bytes in one read: the INI store's files, and the kernel's
// listings under /proc that the port drawers consult when the ports are
// refused. One implementation per operating system.
#pragma once

#include <optional>
#include <string>

namespace cashdrawer {

// The file's bytes, or nothing when it cannot be read (missing, a folder,
// no permission).
std::optional<std::string> ReadWholeFile(const std::string& path);

} // namespace cashdrawer
