// The settings file as people write it, before its values are read: the
// encoding an editor saved it in, and the slips that a key-by-key reading
// passes over in silence (a misspelt key, a second [Agent], a key set twice,
// a value longer than is read).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cashdrawer::agent {

// The text as UTF-8 without a byte order mark: a UTF-8 BOM is dropped, a
// UTF-16 file (with its BOM, as Notepad writes "Unicode") is converted.
// Nothing, with `why`, for bytes that are neither (a NUL without a BOM,
// UTF-16 cut in half).
std::optional<std::string> DecodeSettingsText(const std::string& bytes, std::string& why);

// Reads the layout of the (decoded) text. Refused, with `error` naming the
// file and the line: a section or a key given twice, a value longer than
// the agent reads. Warned of: a key or a section the agent does not read
// (with the nearest one it does), a line that is no setting. `drawerIds`
// are the drawers [Agent] Drawers names: their sections are known.
bool CheckSettingsLayout(const std::string& file, const std::string& text, const std::vector<std::string>& drawerIds,
                         std::vector<std::string>& warnings, std::string& error);

} // namespace cashdrawer::agent
