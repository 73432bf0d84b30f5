#include "sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace cashdrawer::agent {

std::string Sha256Hex(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        // Only an allocation failure inside libcrypto gets here.
        throw std::runtime_error("libcrypto could not compute a SHA-256 digest");
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0xF];
    }
    return hex;
}

} // namespace cashdrawer::agent
