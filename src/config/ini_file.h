// The INI store's file access: read-modify-write cycles that can neither
// lose another writer's change nor leave a half written file behind. One
// implementation per operating system.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace cashdrawer {

// Under an advisory lock that other writers of the same file take too,
// reads the file (empty when missing), hands its text to `update`, and
// replaces the file with the result in one step: a reader sees the old
// file or the new one, never a part. False when nothing was written (the
// folder or the file cannot be written); the file is then as it was.
bool UpdateIniFile(const std::string& path, const std::function<std::string(const std::string&)>& update);

// What stands at a path.
enum class PathKind { Missing, File, Other };
PathKind KindOfPath(const std::string& path);

// Whether the file - or, where there is none, a new file in its folder -
// could be written. Changes nothing.
bool CanWriteFile(const std::string& path);

} // namespace cashdrawer
