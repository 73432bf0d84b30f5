#include "fleet/reconnect.h"

#include <algorithm>

namespace cashdrawer::agent {

int64_t ReconnectDelayMs(unsigned failures) {
    constexpr int64_t kFirstMs = 1000;
    constexpr int64_t kLongestMs = 30'000;
    // 1, 2, 4, 8, 16, 30, 30...: past five doublings the longest stands,
    // and the shift below never grows past it.
    return failures == 0 ? 0 : std::min(kFirstMs << std::min(failures - 1, 5u), kLongestMs);
}

std::string SilentBrokerWords(int64_t waitedMs) {
    return "the broker took the connection but did not answer it (no CONNACK) within " +
           std::to_string((waitedMs + 500) / 1000) + " s";
}

} // namespace cashdrawer::agent
