#include "bridge/bridge_access.h"

#include <algorithm>
#include <cctype>

namespace cashdrawer::agent {
namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower;
}

bool IsDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// A host name or address as it stands in an origin: letters, digits, dots
// and hyphens, or an IPv6 address in brackets.
bool IsOriginHost(std::string_view host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        return std::all_of(host.begin() + 1, host.end() - 1,
                           [](unsigned char c) { return std::isxdigit(c) || c == ':' || c == '.'; });
    }
    return !host.empty() && std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-';
    });
}

} // namespace

bool IsLoopbackHost(std::string_view host, uint16_t port) {
    const std::string suffix = ":" + std::to_string(port);
    const std::string lower = Lower(host);
    return lower == "127.0.0.1" + suffix || lower == "localhost" + suffix || lower == "[::1]" + suffix;
}

std::optional<std::string> CanonicalOrigin(std::string_view origin) {
    const std::string lower = Lower(origin);
    std::string_view rest(lower);
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (rest.substr(0, scheme.size()) != scheme) {
            continue;
        }
        std::string_view hostPort = rest.substr(scheme.size());
        std::string_view host = hostPort;
        const std::size_t bracket = hostPort.rfind(']');
        const std::size_t colon = hostPort.rfind(':');
        if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
            const std::string_view port = hostPort.substr(colon + 1);
            if (!IsDigits(port) || port.size() > 5 || std::stoul(std::string(port)) > 65535) {
                return std::nullopt;
            }
            host = hostPort.substr(0, colon);
        }
        if (!IsOriginHost(host)) {
            return std::nullopt;
        }
        return lower;
    }
    return std::nullopt;
}

bool EqualInConstantTime(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

} // namespace cashdrawer::agent
