// SHA-256 from the platform's own cryptography: OpenSSL's libcrypto on
// Linux, CNG (BCryptHash) on Windows. The journal's hash chain rests on it,
// so it is never written by hand.
#pragma once

#include <string>
#include <string_view>

namespace cashdrawer::agent {

// The digest of `text` as 64 lower-case hex digits.
std::string Sha256Hex(std::string_view text);

} // namespace cashdrawer::agent
