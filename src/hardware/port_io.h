// Access to the x86 I/O port space.
//
// On Windows the ports are reached through the port I/O library, a kernel
// driver with a small user-mode DLL. Each export call that may touch ports
// opens one bracket around its sequence: Initialize first, Shutdown last,
// and any number of byte or double-word reads and writes between them.
#pragma once

#include "hardware/result.h"

#include <cstdint>
#include <string>

namespace cashdrawer {

// Width of one port access, in bytes.
enum class PortWidth : uint8_t {
    Byte = 1,
    DWord = 4,
};

class PortIo {
public:
    virtual ~PortIo() = default;

    // Ok: ports are usable until Shutdown. LibraryMissing: the library (or
    // one of its functions) is not there; nothing was called, so no Shutdown
    // is owed either. LibraryFailed: its initialisation ran and reported
    // failure; Shutdown is still owed, as it may have acquired part of what
    // it needs.
    virtual Result Initialize() = 0;
    virtual void Shutdown() = 0;

    // Reads the port; after a byte read the byte stands in the low 8 bits.
    virtual uint32_t Read(uint16_t port, PortWidth width) = 0;
    // Writes the low `width` bytes of the value to the port.
    virtual void Write(uint16_t port, uint32_t value, PortWidth width) = 0;

    // In words: where the library is, or why the last Initialize could not
    // use it.
    virtual std::string Diagnosis() const = 0;
};

// The bracket around one export call's port accesses. Shutdown runs exactly
// once on every road out of the call whenever the library's initialisation
// was called, whatever it answered.
class PortIoBracket {
public:
    explicit PortIoBracket(PortIo& io) : io_(io), start_(io.Initialize()) {}
    ~PortIoBracket() {
        if (start_ != Result::LibraryMissing) {
            io_.Shutdown();
        }
    }
    PortIoBracket(const PortIoBracket&) = delete;
    PortIoBracket& operator=(const PortIoBracket&) = delete;

    bool Ready() const { return start_ == Result::Ok; }
    Result Start() const { return start_; }

private:
    PortIo& io_;
    Result start_;
};

} // namespace cashdrawer

#include <memory>

namespace cashdrawer {
// The port I/O of the operating system the library was built for. Whatever
// it loads is released when it is destroyed.
std::unique_ptr<PortIo> MakeSystemPortIo();
} // namespace cashdrawer
