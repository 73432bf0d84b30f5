#include "journal/sha256.h"
#include "os/hex.h"

#include <windows.h>
#include <bcrypt.h>

#include <stdexcept>

namespace cashdrawer::agent {
namespace {

// One provider for the process: opening it is the costly step.
BCRYPT_ALG_HANDLE Sha256Provider() {
    static BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        if (::BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) {
            opened = nullptr;
        }
        return opened;
    }();
    return provider;
}

} // namespace

std::string Sha256Hex(std::string_view text) {
    unsigned char digest[32];
    BCRYPT_ALG_HANDLE provider = Sha256Provider();
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool done = provider != nullptr && ::BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
    done = done && ::BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(text.data())),
                                    static_cast<ULONG>(text.size()), 0) >= 0;
    done = done && ::BCryptFinishHash(hash, digest, sizeof digest, 0) >= 0;
    if (hash != nullptr) {
        ::BCryptDestroyHash(hash);
    }
    if (!done) {
        throw std::runtime_error("CNG could not compute a SHA-256 digest");
    }
    return HexOf(digest, sizeof digest);
}

} // namespace cashdrawer::agent
