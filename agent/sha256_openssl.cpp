#include "random.h"
#include "sha256.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

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

std::string RandomHex(std::size_t count) {
    std::string bytes(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
        throw std::runtime_error("libcrypto has no random bytes to give");
    }
    return HexOf(reinterpret_cast<const unsigned char*>(bytes.data()), count);
}

} // namespace cashdrawer::agent
