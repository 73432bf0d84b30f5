#include "platform/whole_file.h"

#include <windows.h>

namespace cashdrawer {

std::optional<std::string> ReadWholeFile(const std::string& path) {
    // Shared for every access: another process may be replacing the file.
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::string content;
    char chunk[4096];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ::ReadFile(file, chunk, sizeof chunk, &got, nullptr) != 0) && got > 0) {
        content.append(chunk, got);
    }
    ::CloseHandle(file);
    return ok ? std::optional<std::string>(content) : std::nullopt;
}

} // namespace cashdrawer
