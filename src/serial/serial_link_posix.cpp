#include "serial/serial_link_posix.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>

namespace cashdrawer {
namespace {

speed_t SpeedOf(int32_t baudRate) {
    switch (SupportedBaudRate(baudRate)) {
    case 2400: return B2400;
    case 4800: return B4800;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B9600;
    }
}

tcflag_t CharacterSize(uint8_t byteSize) {
    switch (byteSize) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

// Why what stands at the path is no serial line, or empty when it is a
// character device. The path comes from the INI file in the till's
// current directory: a regular file named there must never get the
// request and kick bytes written over its start by a privileged till.
std::string NotASerialDevice(const struct stat& found) {
    if (S_ISCHR(found.st_mode)) {
        return {};
    }
    const char* kind = S_ISREG(found.st_mode)    ? "a regular file"
                       : S_ISDIR(found.st_mode)  ? "a folder"
                       : S_ISFIFO(found.st_mode) ? "a pipe"
                       : S_ISSOCK(found.st_mode) ? "a socket"
                       : S_ISBLK(found.st_mode)  ? "a block device"
                                                 : "not a device";
    return std::string(": ") + kind + ", not a serial device: nothing was written to it";
}

} // namespace

void ConfigureLine(termios& line, int32_t baudRate, uint8_t parity, uint8_t byteSize, uint8_t stopBits) {
    ::cfmakeraw(&line);
    ::cfsetispeed(&line, SpeedOf(baudRate));
    ::cfsetospeed(&line, SpeedOf(baudRate));
    line.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    line.c_cflag |= CharacterSize(byteSize) | CREAD | CLOCAL;
    if (parity != kParityNone) {
        line.c_cflag |= PARENB | (parity == 1 ? PARODD : 0); // 1 odd, 2 even
    }
    if (stopBits != kOneStopBit) {
        line.c_cflag |= CSTOPB;
    }
    // termios has no DSR output flow control: the line runs without it.
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
}

std::chrono::milliseconds PosixSerialLink::WriteTimeBound(int count) {
    return std::chrono::milliseconds(kWriteTimeoutConstantMs + kWriteTimeoutPerByteMs * std::max(count, 0));
}

std::shared_ptr<SerialLink> MakeSystemSerialLink() { return std::make_shared<PosixSerialLink>(""); }

std::string PosixSerialLink::DeviceName(int32_t portNumber) const {
    if (!namedDevice_.empty()) {
        return namedDevice_;
    }
    if (!devicePath_.empty()) {
        return devicePath_;
    }
    // COM1 is the first serial device; below 1 no device is named at all.
    return portNumber >= 1 ? "/dev/ttyS" + std::to_string(portNumber - 1)
                           : "no device (ComNuM=" + std::to_string(portNumber) + ": COM ports count from 1)";
}

Result PosixSerialLink::Open(int32_t portNumber, int32_t baudRate, uint8_t parity, uint8_t byteSize, uint8_t stopBits) {
    Close();
    const std::string path = DeviceName(portNumber);
    diagnosis_ = path;
    if (namedDevice_.empty() && devicePath_.empty() && portNumber < 1) {
        return Result::PortMissing;
    }
    // Looked at before it is opened (opening some devices has effects of
    // its own) and again once open (the path may have been swapped).
    struct stat found {};
    if (::stat(path.c_str(), &found) == 0) {
        if (const std::string why = NotASerialDevice(found); !why.empty()) {
            diagnosis_ += why;
            return Result::PortMissing;
        }
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        diagnosis_ += std::string(": ") + std::strerror(errno);
        return Result::PortMissing;
    }
    termios line{};
    std::string why = ::fstat(fd, &found) == 0 ? NotASerialDevice(found) : ": " + std::string(std::strerror(errno));
    if (why.empty() && ::tcgetattr(fd, &line) != 0) {
        why = ": a character device, but not a terminal (" + std::string(std::strerror(errno)) +
              "): nothing was written to it";
    }
    if (!why.empty()) {
        ::close(fd);
        diagnosis_ += why;
        return Result::PortMissing;
    }
    fd_ = fd;

    ConfigureLine(line, baudRate, parity, byteSize, stopBits);
    if (::tcsetattr(fd, TCSANOW, &line) != 0) {
        return Result::LineRefused;
    }
    // DTR on, as the drawer device expects; a pty has no modem lines.
    int dtr = TIOCM_DTR;
    ::ioctl(fd, TIOCMBIS, &dtr);
    ::tcflush(fd, TCIOFLUSH);
    return Result::Ok;
}

int PosixSerialLink::ReadInput(uint8_t* destination) {
    const int fd = fd_;
    int waiting = 0;
    if (fd < 0 || ::ioctl(fd, FIONREAD, &waiting) != 0 || waiting <= 0) {
        return 0;
    }
    const ssize_t count = ::read(fd, destination, static_cast<size_t>(std::min(waiting, kSerialReadMax)));
    return count > 0 ? static_cast<int>(count) : 0;
}

Result PosixSerialLink::Write(const uint8_t* bytes, int count) {
    const int fd = fd_;
    if (fd < 0) {
        return Result::NotOpen;
    }
    // The same bound as the Windows link's write time-outs: a device that
    // holds the line (flow control, a hung adapter) costs a caller this
    // long at most.
    const auto deadline = std::chrono::steady_clock::now() + WriteTimeBound(count);
    const auto pastDeadline = [deadline] { return std::chrono::steady_clock::now() >= deadline; };
    int sent = 0;
    while (sent < count) {
        const ssize_t written = ::write(fd, bytes + sent, static_cast<size_t>(count - sent));
        if (written > 0) {
            sent += static_cast<int>(written);
        } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
            return Result::WriteFailed;
        } else if (pastDeadline()) {
            return Result::WriteFailed;
        } else {
            ::usleep(1000); // output queue full: let it drain
        }
    }
    // tcdrain() may wait for ever on a stopped line; poll the output queue
    // instead, up to the same deadline. (A pseudo-terminal hands its output
    // on at once and never holds a byte here: only a real port, stopped by
    // its device, shows this loop at work.)
    int queued = 0;
    while (::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        if (pastDeadline()) {
            return Result::WriteFailed; // some bytes never left
        }
        ::usleep(1000);
    }
    return Result::Ok;
}

void PosixSerialLink::Close() {
    const int fd = fd_.exchange(-1);
    if (fd >= 0) {
        ::close(fd);
    }
}

} // namespace cashdrawer
