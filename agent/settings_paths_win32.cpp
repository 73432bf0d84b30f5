#include "settings.h"

#include "win32_text.h"

namespace cashdrawer::agent {
namespace {

// %ProgramData%\CashDrawer: machine-wide data a service may write.
std::string DataFolder() {
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"ProgramData", folder, MAX_PATH);
    const std::wstring base = length > 0 && length < MAX_PATH ? std::wstring(folder, length) : L"C:\\ProgramData";
    return Narrow(base) + "\\CashDrawer";
}

} // namespace

std::string DefaultSettingsFile() { return DataFolder() + "\\cashdrawer-agent.ini"; }
std::string DefaultJournalFolder() { return DataFolder() + "\\journal"; }

} // namespace cashdrawer::agent
