#include "core/settings.h"

#include "os/win32_error.h"

namespace cashdrawer::agent {
namespace {

// %ProgramData%\CashDrawer: machine-wide data a service may write.
std::string DataFolder() {
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"ProgramData", folder, MAX_PATH);
    const std::wstring base = length > 0 && length < MAX_PATH ? std::wstring(folder, length) : L"C:\\ProgramData";
    return WideToUtf8(base) + "\\CashDrawer";
}

} // namespace

std::string DefaultSettingsFile() { return DataFolder() + "\\cashdrawer-agent.ini"; }
std::string DefaultJournalFolder() { return DataFolder() + "\\journal"; }

// The computer's NetBIOS name, as the fleet names the terminal by default.
std::string MachineName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    return ::GetComputerNameW(name, &length) && length > 0 ? WideToUtf8(std::wstring(name, length)) : "terminal";
}

} // namespace cashdrawer::agent
