#include "platform/hardware_library.h"

#include <windows.h>

#include <string>

namespace cashdrawer {
namespace {

// The folder our own DLL was loaded from, with a trailing backslash; empty
// if it cannot be told.
std::wstring OwnFolder() {
    HMODULE self = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&OwnFolder), &self)) {
        return {};
    }
    // Long-path aware: grow the buffer until the whole name fits.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring{} : path.substr(0, slash + 1);
}

HMODULE LoadFromSafeFolders(const wchar_t* fileName) {
    const std::wstring folder = OwnFolder();
    if (!folder.empty()) {
        const std::wstring besideUs = folder + fileName;
        // The library's own dependencies resolve from its folder and System32.
        if (HMODULE module = ::LoadLibraryExW(besideUs.c_str(), nullptr,
                                              LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32)) {
            return module;
        }
    }
    return ::LoadLibraryExW(fileName, nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

} // namespace

void* LoadHardwareLibrary(const wchar_t* fileName, const RequiredSymbol* symbols, int symbolCount) {
    HMODULE module = LoadFromSafeFolders(fileName);
    bool complete = module != nullptr;
    for (int i = 0; i < symbolCount; ++i) {
        FARPROC function = complete ? ::GetProcAddress(module, symbols[i].name) : nullptr;
        *symbols[i].slot = reinterpret_cast<void*>(function);
        complete = complete && function != nullptr;
    }
    if (complete) {
        return module;
    }
    for (int i = 0; i < symbolCount; ++i) {
        *symbols[i].slot = nullptr;
    }
    if (module != nullptr) {
        ::FreeLibrary(module);
    }
    return nullptr;
}

void ReleaseHardwareLibrary(void* module) {
    if (module != nullptr) {
        ::FreeLibrary(static_cast<HMODULE>(module));
    }
}

} // namespace cashdrawer
