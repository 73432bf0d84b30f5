// The serial link on a POSIX terminal device (termios). The device path is
// given at construction (in tests, a pty); left empty, port n is the
// terminal's /dev/ttyS<n-1>, as COM1 is ttyS0.
#pragma once

#include "serial/serial_link.h"

#include <termios.h>

#include <atomic>
#include <chrono>
#include <string>

namespace cashdrawer {

// Sets up a line as the drawer device needs it: raw bytes, reads that never
// wait, the rate (an unsupported one is 9600) and framing asked for, the
// receiver on, modem control lines and hardware flow control ignored.
// Parity 0 none, 1 odd, 2 even; stop bits 0 one, else two.
void ConfigureLine(termios& line, int32_t baudRate, uint8_t parity, uint8_t byteSize, uint8_t stopBits);

class PosixSerialLink final : public SerialLink {
public:
    explicit PosixSerialLink(std::string devicePath) : devicePath_(std::move(devicePath)) {}
    ~PosixSerialLink() override { Close(); }

    Result Open(int32_t portNumber, int32_t baudRate, uint8_t parity, uint8_t byteSize, uint8_t stopBits) override;
    bool IsOpen() const override { return fd_ >= 0; }
    int ReadInput(uint8_t* destination) override;
    Result Write(const uint8_t* bytes, int count) override;
    void Close() override;
    std::string Diagnosis() const override { return diagnosis_; }
    void NameDevice(const std::string& path) override { namedDevice_ = path; }
    // The named device, else /dev/ttyS(N-1) for COM port N.
    std::string DeviceName(int32_t portNumber) const override;

    // How long a write of `count` bytes may take, transmission included.
    static std::chrono::milliseconds WriteTimeBound(int count);
    static constexpr int kWriteTimeoutConstantMs = 200;
    static constexpr int kWriteTimeoutPerByteMs = 5;

private:
    std::string devicePath_;
    std::string namedDevice_; // from the configuration file's Device key
    std::string diagnosis_;
    std::atomic<int> fd_{-1};
};

} // namespace cashdrawer
