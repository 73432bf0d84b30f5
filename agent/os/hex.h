// Bytes as text: the form digests, tokens and codes are written in.
#pragma once

#include <cstddef>
#include <string>

namespace cashdrawer::agent {

// Bytes as lower-case hex digits, two a byte.
std::string HexOf(const unsigned char* bytes, std::size_t count);

} // namespace cashdrawer::agent
