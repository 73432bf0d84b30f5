// JSON the agent reads from outside itself - its own files, journal lines,
// request bodies, the fleet's messages - taken as hostile input: nested no
// deeper than any of ours is, and each field read only when it has the
// type asked for. A file edited by hand or damaged must cost a field or an
// entry, never the agent.
#pragma once

#include "core/event.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

namespace cashdrawer::agent {

// Deeper than anything the agent writes (a journal line nests three or four
// levels): the parser recurses once a level, so a line nested 300,000 deep
// would take the stack with it.
inline constexpr std::size_t kMaxJsonDepth = 64;

// The parsed text; a discarded value (is_discarded()) when it is no JSON or
// is nested deeper than `maxDepth`.
Json ParseJsonText(std::string_view text, std::size_t maxDepth = kMaxJsonDepth);

// `object[key]` when `object` is an object holding `key` with a value of
// T's kind; `fallback` otherwise (never an exception).
template <typename T>
T FieldOr(const Json& object, const char* key, T fallback) {
    if (!object.is_object()) {
        return fallback;
    }
    const auto found = object.find(key);
    if (found == object.end()) {
        return fallback;
    }
    const Json& value = *found;
    if constexpr (std::is_same_v<T, bool>) {
        return value.is_boolean() ? value.get<bool>() : fallback;
    } else if constexpr (std::is_same_v<T, std::string>) {
        return value.is_string() ? value.get<std::string>() : fallback;
    } else if constexpr (std::is_unsigned_v<T>) {
        return value.is_number_unsigned() && value.get<uint64_t>() <= std::numeric_limits<T>::max() ? value.get<T>()
                                                                                                   : fallback;
    } else {
        static_assert(std::is_signed_v<T> && std::is_integral_v<T>, "a bool, a string or an integer");
        if (value.is_number_unsigned()) {
            return value.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<T>::max()) ? value.get<T>()
                                                                                                  : fallback;
        }
        return value.is_number_integer() && value.get<int64_t>() >= std::numeric_limits<T>::min() &&
                       value.get<int64_t>() <= std::numeric_limits<T>::max()
                   ? value.get<T>()
                   : fallback;
    }
}

} // namespace cashdrawer::agent
