// Text the system hands over - folder names, INI values read through the
// profile functions - in the encoding reports are written in: UTF-8.
#pragma once

#include <string>

namespace cashdrawer {

// Windows: the bytes are in the ANSI code page (the one the profile
// functions and GetCurrentDirectoryA use) and come back as UTF-8.
// Elsewhere file names and file contents are bytes with no encoding of
// their own: they come back unchanged, and whoever writes them into a
// report escapes what is not UTF-8.
std::string SystemTextAsUtf8(const std::string& text);

// Windows only: a UTF-16 text of the system's (a path, a message) in UTF-8,
// and UTF-8 text (the agent's paths and names) for the UTF-16 API.
std::string WideToUtf8(const std::wstring& text);
std::wstring Utf8ToWide(const std::string& text);

} // namespace cashdrawer
