// Small helpers for the Windows hosts of the DLL and its doubles (the tool
// and the test host): typed exports and the program's own folder.
#pragma once

#include <windows.h>

#include <string>

namespace cashdrawer::sim {

template <typename Fn>
Fn ResolveExport(HMODULE module, const char* name) {
    return module == nullptr ? nullptr
                             : reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// The running program's folder, with a trailing backslash.
inline std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring full(path, length);
    return full.substr(0, full.find_last_of(L"\\/") + 1);
}

} // namespace cashdrawer::sim
