// Unpredictable bytes from the platform's own generator (OpenSSL's RAND on
// Linux, CNG's system-preferred generator on Windows): the pairing codes and
// the tokens a guess must not find.
#pragma once

#include <string>

namespace cashdrawer::agent {

// `count` random bytes as 2 * count lower-case hex digits; throws when the
// platform has none to give.
std::string RandomHex(std::size_t count);

// A decimal code of `digits` digits, each equally likely.
std::string RandomDigits(std::size_t digits);

} // namespace cashdrawer::agent
