// Random bytes from OpenSSL's generator (Linux).
#include "os/hex.h"
#include "os/random.h"

#include <openssl/rand.h>

#include <stdexcept>

namespace cashdrawer::agent {

std::string RandomHex(std::size_t count) {
    std::string bytes(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
        throw std::runtime_error("libcrypto has no random bytes to give");
    }
    return HexOf(reinterpret_cast<const unsigned char*>(bytes.data()), count);
}

} // namespace cashdrawer::agent
