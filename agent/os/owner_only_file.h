// Files for secrets (the pairing code, the paired origins' token hashes):
// only the agent's own account can read them, and a replacement is whole or
// absent, never half written.
#pragma once

#include <string>

namespace cashdrawer::agent {

// Writes `text` to `path` through a temporary file beside it, readable and
// writable by the owner alone (POSIX mode 0600; on Windows a protected ACL
// for the owner and SYSTEM), then puts it in place. False, with `error`.
bool WriteOwnerOnlyFile(const std::string& path, const std::string& text, std::string& error);

// Removes the file; a file already gone is no failure.
void RemoveFileIfThere(const std::string& path);

} // namespace cashdrawer::agent
