#include "platform/system_text.h"

namespace cashdrawer {

std::string SystemTextAsUtf8(const std::string& text) { return text; }

} // namespace cashdrawer
