// The POSIX whole-file read, on a descriptor already open (the INI store
// reads the file it holds locked).
#pragma once

#include <optional>
#include <string>

namespace cashdrawer {

// Everything from the descriptor's position to its end; nothing when a
// read fails (EISDIR, EIO).
std::optional<std::string> ReadWholeDescriptor(int fd);

} // namespace cashdrawer
