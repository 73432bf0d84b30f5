#include "serial/serial_link.h"

#include <algorithm>
#include <array>

namespace cashdrawer {
namespace {
constexpr std::array<int32_t, 7> kSupportedRates = {2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr int32_t kFallbackRate = 9600;
} // namespace

std::string SerialPortName(int32_t portNumber) {
    const std::string number = std::to_string(portNumber);
    return portNumber <= 9 ? "COM" + number : "\\\\.\\COM" + number;
}

std::string SerialLink::DeviceName(int32_t portNumber) const { return SerialPortName(portNumber); }

int32_t SupportedBaudRate(int32_t baudRate) {
    return std::find(kSupportedRates.begin(), kSupportedRates.end(), baudRate) != kSupportedRates.end() ? baudRate
                                                                                                        : kFallbackRate;
}

std::string LineSettings(int32_t baudRate) { return std::to_string(SupportedBaudRate(baudRate)) + ",E,7,1"; }

} // namespace cashdrawer
