#include "interface/utf8_text.h"

#include <cstdint>
#include <cstdio>

namespace cashdrawer {
namespace {

bool IsContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Per lead byte: how many bytes the character has and the range its second
// byte must fall in (which rules out overlong forms, surrogates and code
// points past U+10FFFF).
struct LeadRule {
    uint8_t firstLead, lastLead;
    std::size_t length;
    uint8_t secondLow, secondHigh;
};
constexpr LeadRule kLeadRules[] = {
    {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
};

} // namespace

std::size_t Utf8CharacterLength(std::string_view text, std::size_t at) {
    if (at >= text.size()) {
        return 0;
    }
    const auto lead = static_cast<uint8_t>(text[at]);
    if (lead < 0x80) {
        return 1;
    }
    for (const LeadRule& rule : kLeadRules) {
        if (lead < rule.firstLead || lead > rule.lastLead) {
            continue;
        }
        if (text.size() - at < rule.length) {
            return 0;
        }
        const auto second = static_cast<uint8_t>(text[at + 1]);
        if (second < rule.secondLow || second > rule.secondHigh) {
            return 0;
        }
        for (std::size_t i = 2; i < rule.length; ++i) {
            if (!IsContinuation(static_cast<uint8_t>(text[at + i]))) {
                return 0;
            }
        }
        return rule.length;
    }
    return 0;
}

std::size_t Utf8CutPoint(std::string_view text, std::size_t limit) {
    if (limit >= text.size()) {
        return text.size();
    }
    // A cut splits a character only where the byte after it continues one:
    // walk back over the continuation bytes to where that character would
    // begin, and leave it out when it is a whole character running past the
    // cut. Anything else there (stray bytes, a character cut short) is no
    // character to keep whole, and the cut stays.
    std::size_t start = limit;
    while (start > 0 && IsContinuation(static_cast<uint8_t>(text[start]))) {
        --start;
    }
    return Utf8CharacterLength(text, start) > limit - start ? start : limit;
}

std::string JsonQuoted(std::string_view text) {
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        const auto byte = static_cast<uint8_t>(c);
        const std::size_t length = Utf8CharacterLength(text, at);
        if (length > 1) {
            out.append(text.substr(at, length));
            at += length;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (byte < 0x20 || length == 0) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(byte));
                out += escaped;
            } else {
                out += c;
            }
        }
        ++at;
    }
    return out + "\"";
}

} // namespace cashdrawer
