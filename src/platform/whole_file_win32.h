// The Windows whole-file read by a UTF-16 path: for callers whose paths are
// not in the ANSI code page (the agent keeps its paths in UTF-8).
#pragma once

#include <optional>
#include <string>

namespace cashdrawer {

std::optional<std::string> ReadWholeFileW(const std::wstring& path);

} // namespace cashdrawer
