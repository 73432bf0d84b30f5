// Prints the security descriptor of a named pipe, as the system holds it
// (SDDL, the owner and the DACL): the agent's local channel is checked by
// reading back what was set, not what was asked for.
//   pipe_security_probe.exe PIPE_NAME
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pipe_security_probe PIPE_NAME\n");
        return 2;
    }
    const HANDLE pipe = ::CreateFileA(argv[1], READ_CONTROL, 0, nullptr, OPEN_EXISTING,
                                      SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open %s: error %lu\n", argv[1], ::GetLastError());
        return 1;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD read = ::GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                         nullptr, &descriptor);
    ::CloseHandle(pipe);
    if (read != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot read its security: error %lu\n", read);
        return 1;
    }
    char* text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                &text, nullptr)) {
        std::fprintf(stderr, "cannot write it out: error %lu\n", ::GetLastError());
        return 1;
    }
    std::printf("%s\n", text);
    ::LocalFree(text);
    ::LocalFree(descriptor);
    return 0;
}
