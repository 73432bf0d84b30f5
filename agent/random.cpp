#include "random.h"
#include "sha256.h"

#include <stdexcept>

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

std::string RandomDigits(std::size_t digits) {
    std::string code;
    while (code.size() < digits) {
        // One hex digit a draw; 10 to 15 are thrown away rather than folded
        // onto 0 to 5, which would make those digits likelier.
        for (const char hex : RandomHex(digits)) {
            if (hex >= '0' && hex <= '9' && code.size() < digits) {
                code += hex;
            }
        }
    }
    return code;
}

} // namespace cashdrawer::agent
