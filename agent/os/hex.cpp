#include "os/hex.h"

namespace cashdrawer::agent {

std::string HexOf(const unsigned char* bytes, std::size_t count) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(count * 2); // room only: any size gives the same text
    for (std::size_t i = 0; i < count; ++i) {
        hex += kHex[bytes[i] >> 4];
        hex += kHex[bytes[i] & 0xF];
    }
    return hex;
}

} // namespace cashdrawer::agent
