// Port I/O on Linux (x86): the process raises its own I/O privilege level
// with iopl(3) and then uses the in/out instructions directly. iopl rather
// than /dev/port: the 32-bit GPIO registers need real double-word accesses,
// which /dev/port cannot make (it moves single bytes).
//
// The level is raised in the bracket's Initialize and dropped again in its
// Shutdown, so the ports are reachable only for the length of one call, and
// only from the thread that made it (the level is per thread).
#pragma once

#include "hardware/port_io.h"

#include <string>

namespace cashdrawer {

class LinuxPortIo final : public PortIo {
public:
    // Sets the calling thread's I/O privilege level, iopl(2)'s contract: 0 on
    // success, else -1 with errno set. The real one unless a test hands in
    // a stand-in.
    using SetIoPrivilege = int (*)(int level);
    static constexpr char kLockdownFile[] = "/sys/kernel/security/lockdown";

    explicit LinuxPortIo(SetIoPrivilege setIoPrivilege = nullptr, std::string lockdownFile = kLockdownFile);

    // Ok with the level raised; LibraryMissing when the kernel refuses it
    // (nothing to give back then).
    Result Initialize() override;
    void Shutdown() override;
    uint32_t Read(uint16_t port, PortWidth width) override;
    void Write(uint16_t port, uint32_t value, PortWidth width) override;
    std::string Diagnosis() const override { return diagnosis_; }

private:
    SetIoPrivilege setIoPrivilege_;
    std::string lockdownFile_;
    std::string diagnosis_;
};

// Why iopl(3) was refused, in words: `error` is its errno, `lockdown` the
// text of the kernel's lockdown file (empty when there is none), where the
// mode in force stands in brackets ("none [integrity] confidentiality").
std::string DescribeIoPrivilegeRefusal(int error, const std::string& lockdown);

} // namespace cashdrawer
