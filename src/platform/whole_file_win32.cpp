#include "platform/whole_file.h"
#include "platform/whole_file_win32.h"

#include <windows.h>

namespace cashdrawer {
namespace {

// Shared for every access: another process may be replacing the file.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::optional<std::string> ReadWholeHandle(HANDLE file) {
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

} // namespace

std::optional<std::string> ReadWholeFile(const std::string& path) {
    return ReadWholeHandle(
        ::CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::optional<std::string> ReadWholeFileW(const std::wstring& path) {
    return ReadWholeHandle(
        ::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

} // namespace cashdrawer
