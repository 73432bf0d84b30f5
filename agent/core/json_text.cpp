#include "core/json_text.h"

namespace cashdrawer::agent {

Json ParseJsonText(std::string_view text, std::size_t maxDepth) {
    // One pass over the text before the parser sees it: brackets count only
    // outside strings, and a string's escaped quote does not end it.
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth) {
                return Json(Json::value_t::discarded);
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return Json::parse(text, nullptr, false);
}

} // namespace cashdrawer::agent
