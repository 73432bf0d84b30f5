#include "journal/sha256.h"
#include "os/hex.h"

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
    return HexOf(digest, length);
}

} // namespace cashdrawer::agent
