// Who may talk to the bridge. It listens on the loopback addresses only, but
// a web page of any site can send requests there: the checks below are what
// keep such a page off the drawers.
//
// - The Host header names the loopback address itself: a page that made its
//   own name resolve to 127.0.0.1 (DNS rebinding) sends its own name there.
// - The Origin header is the page's site as the browser reports it; a pairing
//   binds a token to one origin, and each answer's CORS headers name that
//   origin exactly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cashdrawer::agent {

// "127.0.0.1:PORT", "localhost:PORT" or "[::1]:PORT", and nothing else.
bool IsLoopbackHost(std::string_view host, uint16_t port);

// The origin in the form a browser sends ("https://till.example:8443"),
// lower-cased; nothing for what is no such origin ("null", a path, a user
// part, another scheme).
std::optional<std::string> CanonicalOrigin(std::string_view origin);

// Compares two strings in a time that depends on their length only, not on
// where they first differ: for secrets.
bool EqualInConstantTime(std::string_view a, std::string_view b);

} // namespace cashdrawer::agent
