// What a chain's IT does with the machine's certificate manager, for the
// fleet tests under Wine: import a till's own certificate with its key
// (Local Computer, Personal), printing its thumbprint as the settings name it.
//   cert_store_probe personal TILL.pfx PASSWORD
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

HCERTSTORE OpenMachineStore(const wchar_t* name) {
    return ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, name);
}

int Personal(const char* path, const char* password) {
    const std::string pfx = ReadFile(path);
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), reinterpret_cast<BYTE*>(const_cast<char*>(pfx.data()))};
    std::wstring widePassword(password, password + std::char_traits<char>::length(password));
    HCERTSTORE imported = ::PFXImportCertStore(&blob, widePassword.c_str(), CRYPT_MACHINE_KEYSET | CRYPT_EXPORTABLE);
    HCERTSTORE personal = OpenMachineStore(L"MY");
    if (imported == nullptr || personal == nullptr) {
        std::fprintf(stderr, "cert_store_probe: %s cannot be imported (%lu)\n", path, ::GetLastError());
        return 1;
    }
    PCCERT_CONTEXT certificate = nullptr;
    int found = 0;
    while ((certificate = ::CertEnumCertificatesInStore(imported, certificate)) != nullptr) {
        ::CertAddCertificateContextToStore(personal, certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
        BYTE hash[20];
        DWORD size = sizeof hash;
        ::CertGetCertificateContextProperty(certificate, CERT_HASH_PROP_ID, hash, &size);
        for (DWORD i = 0; i < size; ++i) {
            std::printf("%02x", hash[i]);
        }
        std::printf("\n");
        ++found;
    }
    ::CertCloseStore(personal, 0);
    ::CertCloseStore(imported, 0);
    return found == 1 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "personal" && argc == 4) {
        return Personal(argv[2], argv[3]);
    }
    std::fprintf(stderr, "usage: cert_store_probe personal TILL.pfx PASSWORD\n");
    return 2;
}
