// The COM port on an overlapped handle.
#include "serial/serial_link.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace cashdrawer {
namespace {

constexpr DWORD kQueueBytes = 1400;

// The system's own words for an error code, on one line.
std::string SystemErrorText(DWORD error) {
    char text[256] = {};
    const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                          text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(error) : message + " (error " + std::to_string(error) + ")";
}

class Win32SerialLink final : public SerialLink {
public:
    Win32SerialLink() = default;
    ~Win32SerialLink() override { Close(); }
    Win32SerialLink(const Win32SerialLink&) = delete;
    Win32SerialLink& operator=(const Win32SerialLink&) = delete;

    Result Open(int32_t portNumber, int32_t baudRate, uint8_t parity, uint8_t byteSize, uint8_t stopBits) override {
        Close();
        port_ = ::CreateFileA(SerialPortName(portNumber).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
        diagnosis_ = SerialPortName(portNumber);
        if (port_ == INVALID_HANDLE_VALUE) {
            diagnosis_ += ": " + SystemErrorText(::GetLastError());
            return Result::PortMissing;
        }
        ::SetupComm(port_, kQueueBytes, kQueueBytes); // a hint the driver may round or ignore

        // The settings string sets the baud rate; parity, data and stop bits
        // are then taken from the arguments.
        char settings[100] = {};
        const std::string text = LineSettings(baudRate);
        std::memcpy(settings, text.c_str(), std::min(text.size(), sizeof settings - 1));
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(port_, &dcb)) {
            return Result::LineRefused;
        }
        if (!::BuildCommDCBA(settings, &dcb)) {
            return Result::SettingsRejected;
        }
        dcb.DCBlength = sizeof dcb;
        dcb.ByteSize = byteSize;
        dcb.Parity = parity;
        dcb.StopBits = stopBits;
        dcb.fBinary = TRUE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = TRUE; // the drawer device holds DSR low while busy
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        // Applied, read back and applied again: some drivers accept a state
        // only in the form they report it.
        ::SetCommState(port_, &dcb);
        if (!::GetCommState(port_, &dcb) || !::SetCommState(port_, &dcb)) {
            return Result::LineRefused;
        }

        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = 100;
        timeouts.ReadTotalTimeoutMultiplier = 5;
        timeouts.ReadTotalTimeoutConstant = 2000;
        timeouts.WriteTotalTimeoutMultiplier = 5;
        timeouts.WriteTotalTimeoutConstant = 200;
        if (!::SetCommTimeouts(port_, &timeouts) || !::PurgeComm(port_, PURGE_TXCLEAR | PURGE_RXCLEAR)) {
            return Result::LineRefused;
        }
        if (!ReplaceEvent(readOverlapped_) || !ReplaceEvent(writeOverlapped_)) {
            return Result::LineRefused;
        }
        return Result::Ok;
    }

    bool IsOpen() const override { return port_ != INVALID_HANDLE_VALUE; }
    std::string Diagnosis() const override { return diagnosis_; }

    int ReadInput(uint8_t* destination) override {
        uint8_t buffer[kSerialReadMax] = {};
        DWORD errors = 0;
        COMSTAT status{};
        if (!::ClearCommError(port_, &errors, &status)) {
            return 0;
        }
        if (errors != 0) {
            // A framing, parity or overrun error: what is waiting is damaged.
            ::PurgeComm(port_, PURGE_RXABORT | PURGE_RXCLEAR);
            return 0;
        }
        if (status.cbInQue == 0) {
            return 0;
        }
        // Only what is waiting, so the read completes at once.
        const DWORD wanted = std::min<DWORD>(status.cbInQue, kSerialReadMax);
        DWORD count = 0;
        bool read = ::ReadFile(port_, buffer, wanted, &count, &readOverlapped_) != 0;
        if (!read && ::GetLastError() == ERROR_IO_PENDING) {
            read = ::GetOverlappedResult(port_, &readOverlapped_, &count, TRUE) != 0;
        }
        if (!read) {
            // Whatever half of the input it left is of no use: throw it away.
            // Only the input side: output another thread is sending meanwhile
            // goes out whole.
            ::PurgeComm(port_, PURGE_RXABORT | PURGE_RXCLEAR);
            return 0;
        }
        // Nothing is purged after a good read: bytes that arrived since the
        // queue was sized are read at the next poll.
        if (count > 0) {
            std::memcpy(destination, buffer, count);
        }
        return static_cast<int>(count);
    }

    Result Write(const uint8_t* bytes, int count) override {
        if (port_ == INVALID_HANDLE_VALUE) {
            return Result::NotOpen;
        }
        DWORD written = 0;
        bool done = ::WriteFile(port_, bytes, static_cast<DWORD>(count), &written, &writeOverlapped_) != 0;
        const bool pending = !done && ::GetLastError() == ERROR_IO_PENDING;
        ::FlushFileBuffers(port_);
        if (pending) {
            // The caller's bytes must outlive the write; the write time-outs
            // bound the wait.
            done = ::GetOverlappedResult(port_, &writeOverlapped_, &written, TRUE) != 0;
        }
        return done && written == static_cast<DWORD>(count) ? Result::Ok : Result::WriteFailed;
    }

    void Close() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(port_);
            port_ = INVALID_HANDLE_VALUE;
        }
        ReleaseEvent(readOverlapped_);
        ReleaseEvent(writeOverlapped_);
    }

private:
    // A fresh manual-reset event for each open; the earlier one is released.
    static bool ReplaceEvent(OVERLAPPED& overlapped) {
        ReleaseEvent(overlapped);
        overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        return overlapped.hEvent != nullptr;
    }

    static void ReleaseEvent(OVERLAPPED& overlapped) {
        if (overlapped.hEvent != nullptr) {
            ::CloseHandle(overlapped.hEvent);
        }
        overlapped = OVERLAPPED{};
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::string diagnosis_;
    OVERLAPPED readOverlapped_{};
    OVERLAPPED writeOverlapped_{};
};

} // namespace

std::shared_ptr<SerialLink> MakeSystemSerialLink() { return std::make_shared<Win32SerialLink>(); }

} // namespace cashdrawer
