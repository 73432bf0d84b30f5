// UTF-8 as the caller's buffers and the health report carry it: where a
// character begins and ends, and JSON strings that stay valid whatever
// bytes they are given.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cashdrawer {

// The length of the well-formed UTF-8 character at `at` (1 to 4), or 0
// when the bytes there are not one: a stray continuation byte, a lead byte
// without its continuations, an overlong form, a surrogate, or a code
// point past U+10FFFF.
std::size_t Utf8CharacterLength(std::string_view text, std::size_t at);

// The largest length, at most `limit`, at which `text` can be cut without
// splitting a well-formed character. Bytes that belong to no character
// are single units and may be cut anywhere.
std::size_t Utf8CutPoint(std::string_view text, std::size_t limit);

// `text` as a JSON string with its quotes. Well-formed UTF-8 passes
// through; each other byte 0xXX becomes the escape \u00XX (the character
// of that value in ISO 8859-1), so the result is always valid JSON and
// valid UTF-8 and a byte never vanishes.
std::string JsonQuoted(std::string_view text);

} // namespace cashdrawer
