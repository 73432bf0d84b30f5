// Drawer identifiers: NUL-terminated byte strings such as "RN340_CashA".
#pragma once

#include <cstdint>

namespace cashdrawer {

// Drawer port A or B of a terminal: the last letter of its identifier.
enum class DrawerLetter : uint8_t { A, B };

// Byte-for-byte equality, terminator included: case counts, nothing is
// trimmed, and neither string is read past its own terminator (the loop
// stops at the first difference, which a shorter string's NUL always is).
constexpr bool SameDrawerId(const char* candidate, const char* known) {
    for (;; ++candidate, ++known) {
        if (*candidate != *known) {
            return false;
        }
        if (*candidate == '\0') {
            return true;
        }
    }
}

} // namespace cashdrawer
