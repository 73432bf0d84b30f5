#include "os/random.h"

namespace cashdrawer::agent {

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
