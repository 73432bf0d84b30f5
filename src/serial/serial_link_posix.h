// The serial link on a POSIX terminal device (termios). The device path is
// given at construction: a terminal's /dev/ttyS* or, in tests, a pty.
#pragma once

#include "serial/serial_link.h"

#include <atomic>
#include <string>

namespace cashdrawer {

class PosixSerialLink final : public SerialLink {
public:
    explicit PosixSerialLink(std::string devicePath) : devicePath_(std::move(devicePath)) {}
    ~PosixSerialLink() override { Close(); }

    // The port number is not used: the device path names the port.
    int Open(int32_t portNumber, int32_t baudRate, uint8_t parity, uint8_t byteSize, uint8_t stopBits) override;
    bool IsOpen() const override { return fd_ >= 0; }
    int ReadInput(uint8_t* destination) override;
    int Write(const uint8_t* bytes, int count) override;
    void Close() override;

private:
    std::string devicePath_;
    std::atomic<int> fd_{-1};
};

} // namespace cashdrawer
