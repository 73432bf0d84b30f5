#include "os/owner_only_file.h"

#include "os/win32_error.h"

#include <sddl.h>

namespace cashdrawer::agent {

bool WriteOwnerOnlyFile(const std::string& path, const std::string& text, std::string& error) {
    const std::wstring target = Utf8ToWide(path);
    const std::wstring temporary = target + L".new";
    // Protected (inherits nothing from the folder): full access for SYSTEM,
    // which the service runs as, and for the file's owner, nobody else.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)(A;;FA;;;OW)", SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        error = path + ": " + LastErrorText();
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ::LocalFree(descriptor);
    if (file == INVALID_HANDLE_VALUE) {
        error = path + ": " + LastErrorText();
        return false;
    }
    DWORD wrote = 0;
    const bool written = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) &&
                         wrote == text.size() && ::FlushFileBuffers(file);
    if (!written) {
        error = path + ": " + LastErrorText();
    }
    ::CloseHandle(file);
    if (written && !::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = path + ": " + LastErrorText();
        ::DeleteFileW(temporary.c_str());
        return false;
    }
    if (!written) {
        ::DeleteFileW(temporary.c_str());
    }
    return written;
}

void RemoveFileIfThere(const std::string& path) { ::DeleteFileW(Utf8ToWide(path).c_str()); }

} // namespace cashdrawer::agent
