// Where this library's own file is, for a technician's report.
#pragma once

#include <string>

namespace cashdrawer {

// The full path of the file this code was loaded from (the DLL, or the
// program it is linked into), in UTF-8; empty when it cannot be told.
std::string LibraryPath();

} // namespace cashdrawer
