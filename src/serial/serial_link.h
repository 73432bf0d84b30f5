// The one COM-port link of the process: opened by the serial drawer's
// start, read only by the status monitor thread, written by the threads
// that call the exports, closed when the library is unloaded. A read and a
// write may be in flight at the same time.
#pragma once

#include "hardware/result.h"

#include <cstdint>
#include <memory>
#include <string>

namespace cashdrawer {

// The most one read delivers.
constexpr int kSerialReadMax = 1000;

// Line codes of the open's arguments, as the Windows DCB spells them.
constexpr uint8_t kParityNone = 0;
constexpr uint8_t kOneStopBit = 0;

class SerialLink {
public:
    virtual ~SerialLink() = default;

    // Closes an open port first. Ok, PortMissing, or - with the port left
    // open - SettingsRejected or LineRefused.
    virtual Result Open(int32_t portNumber, int32_t baudRate, uint8_t parity, uint8_t byteSize, uint8_t stopBits) = 0;
    virtual bool IsOpen() const = 0;
    // Reads what is waiting, at most kSerialReadMax bytes, without waiting
    // for more. A line error throws the waiting input away and reads 0.
    virtual int ReadInput(uint8_t* destination) = 0;
    // Ok when every byte went out, WriteFailed when not, NotOpen with no
    // port open. Returns when they have been transmitted, or when the
    // write's time bound has passed.
    virtual Result Write(const uint8_t* bytes, int count) = 0;
    virtual void Close() = 0;

    // A device path that the next Open uses instead of the port number,
    // where the system names serial devices by path (Linux); empty: the
    // number decides. Ignored where ports are numbered (Windows).
    virtual void NameDevice(const std::string& /*path*/) {}
    // What the next Open of the port number opens, as the system names it.
    virtual std::string DeviceName(int32_t portNumber) const;
    // What a drawer section's settings open: its Device key named, then
    // the device of its port number.
    std::string DeviceFor(int32_t portNumber, const std::string& device) {
        NameDevice(device);
        return DeviceName(portNumber);
    }

    // The port's name and, after an open that failed, the system's words
    // for why. Read by the calling threads only.
    virtual std::string Diagnosis() const { return {}; }
};

// "COM9" up to port 9 (0 and negative numbers included); "\\.\COM10",
// the device-namespace form, from 10 up.
std::string SerialPortName(int32_t portNumber);
// "19200,E,7,1": the baud part from the supported rates (9600 for any
// other), then settings that the open's own arguments replace.
std::string LineSettings(int32_t baudRate);
// The supported rate for the request: itself, or 9600.
int32_t SupportedBaudRate(int32_t baudRate);

// A link of the operating system the library was built for. Shared: the
// monitor thread holds it for as long as it may read from it.
std::shared_ptr<SerialLink> MakeSystemSerialLink();

} // namespace cashdrawer
