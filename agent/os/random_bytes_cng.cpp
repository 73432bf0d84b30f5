// Random bytes from CNG's system-preferred generator (Windows).
#include "os/hex.h"
#include "os/random.h"

#include <windows.h>
#include <bcrypt.h>

#include <stdexcept>

namespace cashdrawer::agent {

std::string RandomHex(std::size_t count) {
    std::string bytes(count, '\0');
    if (::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(count),
                          BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
        throw std::runtime_error("CNG has no random bytes to give");
    }
    return HexOf(reinterpret_cast<const unsigned char*>(bytes.data()), count);
}

} // namespace cashdrawer::agent
