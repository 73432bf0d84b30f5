#include "sim/sim_port_space.h"

namespace cashdrawer::sim {

void SimPortSpace::Poke(uint16_t port, uint32_t value, PortWidth width) {
    for (unsigned i = 0; i < static_cast<unsigned>(width); ++i) {
        bytes_[static_cast<uint16_t>(port + i)] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t SimPortSpace::Peek(uint16_t port, PortWidth width) const {
    uint32_t value = 0;
    for (unsigned i = 0; i < static_cast<unsigned>(width); ++i) {
        value |= static_cast<uint32_t>(bytes_[static_cast<uint16_t>(port + i)]) << (8 * i);
    }
    return value;
}

Result SimPortSpace::Initialize() {
    if (start_ != Result::LibraryMissing) {
        Log(AccessOp::Initialize, 0, PortWidth::Byte, start_ == Result::Ok ? 1 : 0);
    }
    bracketOpen_ = start_ == Result::Ok;
    return start_;
}

std::string SimPortSpace::Diagnosis() const {
    switch (start_) {
    case Result::LibraryMissing: return "the simulated terminal has no port I/O library";
    case Result::LibraryFailed: return "the simulated port I/O library's InitializeWinIo returned false";
    default: return "the simulated port I/O library";
    }
}

void SimPortSpace::Shutdown() {
    Log(AccessOp::Shutdown, 0, PortWidth::Byte, 0);
    bracketOpen_ = false;
}

PortDevice* SimPortSpace::DeviceFor(uint16_t port, PortWidth width) const {
    return device_ != nullptr && width == PortWidth::Byte && device_->Decodes(port) ? device_ : nullptr;
}

uint32_t SimPortSpace::Read(uint16_t port, PortWidth width) {
    PortDevice* device = DeviceFor(port, width);
    const uint32_t value = device != nullptr ? device->ReadByte(port) : Peek(port, width);
    Log(AccessOp::Read, port, width, value, BracketMark());
    return value;
}

void SimPortSpace::Write(uint16_t port, uint32_t value, PortWidth width) {
    const uint32_t written = width == PortWidth::Byte ? (value & 0xFF) : value;
    if (PortDevice* device = DeviceFor(port, width)) {
        device->WriteByte(port, static_cast<uint8_t>(written));
    } else {
        Poke(port, written, width);
    }
    Log(AccessOp::Write, port, width, written, BracketMark());
}

void SimPortSpace::Log(AccessOp op, uint16_t port, PortWidth width, uint32_t value, uint32_t mark) {
    log_.Append({clock_.NowMicros(), op, port, static_cast<uint8_t>(width), value, mark});
}

} // namespace cashdrawer::sim
