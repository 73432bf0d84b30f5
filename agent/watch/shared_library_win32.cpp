#include "watch/drawer_access.h"

#include "os/win32_error.h"

namespace cashdrawer::agent::shared_library {
namespace {

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

} // namespace

void* Open(const std::string& path, std::string& location, std::string& error) {
    // Beside the agent by its full path, never from the current folder: a
    // DLL planted in a shop's working folder must not run as the service.
    const std::wstring file = path.empty() ? ProgramFolder() + L"Cash_Drawer_DLL.dll" : Utf8ToWide(path);
    HMODULE library = ::LoadLibraryExW(file.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (library == nullptr) {
        error = WideToUtf8(file) + ": " + LastErrorText();
        return nullptr;
    }
    location = WideToUtf8(file);
    return reinterpret_cast<void*>(library);
}

void* Find(void* library, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

void Close(void* library) { ::FreeLibrary(static_cast<HMODULE>(library)); }

} // namespace cashdrawer::agent::shared_library
