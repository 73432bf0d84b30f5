// The system's words for the last Win32 error, for the agent's Windows
// files. Included by *_win32.cpp files only; text conversions are the
// platform layer's (platform/system_text.h).
#pragma once

#include "platform/system_text.h"

#include <windows.h>

#include <string>

namespace cashdrawer::agent {

// The system's words for GetLastError's code, without the line end.
inline std::string LastErrorText() {
    const DWORD code = ::GetLastError();
    wchar_t* text = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string words = text != nullptr ? WideToUtf8(text) : "error " + std::to_string(code);
    if (text != nullptr) {
        ::LocalFree(text);
    }
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ' || words.back() == '.')) {
        words.pop_back();
    }
    return words;
}

} // namespace cashdrawer::agent
