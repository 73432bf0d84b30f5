// The decimal parsing of "ComNuM" and "Baudint", and what the serial link
// makes of the numbers, against a reference written the long way round.
#include "config/config_file.h"
#include "serial/serial_link.h"

#include <cstdint>
#include <cstdlib>

#include <limits>
#include <string>
#include <string_view>

#include "fuzz_input.h"

using cashdrawer::fuzz::Require;

namespace {

// Blanks, a sign, digits; no digits gives 0; beyond the range, the limit.
int32_t ReferenceDecimal(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && std::string_view(" \t\n\v\f\r").find(text[at]) != std::string_view::npos) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at++] == '-';
    }
    std::string digits;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        digits.push_back(text[at++]);
    }
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
    if (digits.empty()) {
        return 0;
    }
    if (digits.size() > 10 || (digits.size() == 10 && digits > (negative ? "2147483648" : "2147483647"))) {
        return negative ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max();
    }
    const long long magnitude = std::stoll(digits);
    return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const int32_t parsed = cashdrawer::ParseDecimal(text);
    Require(parsed == ReferenceDecimal(text));

    const std::string name = cashdrawer::SerialPortName(parsed);
    const std::string number = std::to_string(parsed);
    Require(name == (parsed <= 9 ? "COM" + number : "\\\\.\\COM" + number));
    const int32_t rate = cashdrawer::SupportedBaudRate(parsed);
    const bool listed = parsed == 2400 || parsed == 4800 || parsed == 9600 || parsed == 19200 || parsed == 38400 ||
                        parsed == 57600 || parsed == 115200;
    Require(rate == (listed ? parsed : 9600));
    Require(cashdrawer::LineSettings(parsed) == std::to_string(rate) + ",E,7,1");
    return 0;
}
