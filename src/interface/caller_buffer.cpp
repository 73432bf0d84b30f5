#include "interface/caller_buffer.h"

#include "cash_drawer.h"
#include "interface/utf8_text.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace cashdrawer {

int CopyToCallerBuffer(const std::string& text, char* buffer, int size) {
    if (size < 0 || (buffer == nullptr && size > 0)) {
        return CASH_DRAWER_BAD_ARGUMENT;
    }
    if (buffer != nullptr && size > 0) {
        // Cut where a character ends: a caller's UTF-8 decoder must never
        // meet half a character at the end.
        const std::size_t copied = Utf8CutPoint(text, static_cast<std::size_t>(size) - 1);
        std::memcpy(buffer, text.data(), copied);
        buffer[copied] = '\0';
    }
    return static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX));
}

} // namespace cashdrawer
