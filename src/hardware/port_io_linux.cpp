#include "hardware/port_io_linux.h"

#include "platform/whole_file.h"

#include <sys/io.h>

#include <cerrno>
#include <cstring>

namespace cashdrawer {
namespace {

constexpr int kUserPortAccess = 3; // ring 3 may use in/out
constexpr int kNoPortAccess = 0;

int SystemIopl(int level) { return ::iopl(level); }

// The lockdown mode in force, the word in brackets; "none" when the
// kernel has no lockdown at all.
std::string LockdownMode(const std::string& lockdown) {
    const auto open = lockdown.find('[');
    const auto close = lockdown.find(']', open);
    if (open == std::string::npos || close == std::string::npos) {
        return "none";
    }
    return lockdown.substr(open + 1, close - open - 1);
}

} // namespace

std::string DescribeIoPrivilegeRefusal(int error, const std::string& lockdown) {
    std::string text = std::string("iopl(3) was refused (") + std::strerror(error) + ")";
    const std::string mode = LockdownMode(lockdown);
    if (mode != "none") {
        return text + ": the kernel is locked down (" + mode + "), which keeps every process, root too, off the I/O ports";
    }
    if (error == ENOSYS) {
        return text + ": this kernel lets no process reach the I/O ports (it is built without "
                      "CONFIG_X86_IOPL_IOPERM)";
    }
    if (error == EPERM) {
        return text + ": reaching the I/O ports needs root or the CAP_SYS_RAWIO capability";
    }
    return text;
}

LinuxPortIo::LinuxPortIo(SetIoPrivilege setIoPrivilege, std::string lockdownFile)
    : setIoPrivilege_(setIoPrivilege != nullptr ? setIoPrivilege : &SystemIopl),
      lockdownFile_(std::move(lockdownFile)) {}

Result LinuxPortIo::Initialize() {
    if (setIoPrivilege_(kUserPortAccess) != 0) {
        const int error = errno;
        diagnosis_ = DescribeIoPrivilegeRefusal(error, ReadWholeFile(lockdownFile_).value_or(""));
        return Result::LibraryMissing;
    }
    diagnosis_ = "the I/O ports, through iopl(3)";
    return Result::Ok;
}

void LinuxPortIo::Shutdown() { setIoPrivilege_(kNoPortAccess); }

// glibc's out* take the value first and the port second.
uint32_t LinuxPortIo::Read(uint16_t port, PortWidth width) {
    return width == PortWidth::DWord ? ::inl(port) : ::inb(port);
}

void LinuxPortIo::Write(uint16_t port, uint32_t value, PortWidth width) {
    if (width == PortWidth::DWord) {
        ::outl(value, port);
    } else {
        ::outb(static_cast<unsigned char>(value), port);
    }
}

std::unique_ptr<PortIo> MakeSystemPortIo() { return std::make_unique<LinuxPortIo>(); }

} // namespace cashdrawer
