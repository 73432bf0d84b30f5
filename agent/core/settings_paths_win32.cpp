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

// A file's protection on Windows is its ACL, which the installer sets; the
// Windows agent has no MQTT client to hand the key to, so it only checks
// that the file is there and plain.
std::string PrivateFileProblem(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(Utf8ToWide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return "the file cannot be read: " + LastErrorText();
    }
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ? "not a plain file" : "";
}

// The computer's NetBIOS name, as the fleet names the terminal by default.
std::string MachineName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    return ::GetComputerNameW(name, &length) && length > 0 ? WideToUtf8(std::wstring(name, length)) : "terminal";
}

} // namespace cashdrawer::agent
