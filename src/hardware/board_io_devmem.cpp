#include "hardware/board_io_devmem.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cashdrawer {
namespace {

// One session at a time: the memory drawers open and close around each
// operation, under the export lock. The handle only has to be non-zero and
// recognisable.
constexpr BoardIoHandle kSessionHandle = 1;

uint64_t PageSize() { return static_cast<uint64_t>(::sysconf(_SC_PAGESIZE)); }

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string WhyNotOpened(const std::string& path, int error) {
    std::string text = "cannot open " + path + " (" + std::strerror(error) + ")";
    if (error == EACCES || error == EPERM) {
        text += ": mapping physical memory needs root (the CAP_SYS_RAWIO capability and write access to the device)";
    } else if (error == ENOENT) {
        text += ": this system offers no access to physical memory";
    }
    return text;
}

} // namespace

BoardIoHandle DevMemBoardIo::Open() {
    CloseSession();
    fd_ = ::open(path_.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd_ < 0) {
        diagnosis_ = WhyNotOpened(path_, errno);
        return 0;
    }
    diagnosis_ = path_;
    return kSessionHandle;
}

void DevMemBoardIo::Close(BoardIoHandle handle) {
    if (handle == kSessionHandle) {
        CloseSession();
    }
}

void DevMemBoardIo::CloseSession() {
    const uint64_t pageSize = PageSize();
    for (const auto& [page, mapped] : pages_) {
        ::munmap(mapped, pageSize);
    }
    pages_.clear();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool DevMemBoardIo::Reach(BoardIoHandle handle, uint32_t physicalAddress) {
    if (handle != kSessionHandle || fd_ < 0) {
        diagnosis_ = "no " + path_ + " session is open";
        return false;
    }
    if (physicalAddress % sizeof(uint32_t) != 0) {
        diagnosis_ = "register " + Hex(physicalAddress) + " is not on a 32-bit boundary";
        return false;
    }
    const uint64_t pageSize = PageSize();
    const uint64_t page = physicalAddress / pageSize * pageSize;
    if (pages_.count(page) != 0) {
        return true;
    }
    // A regular file standing in for memory faults (SIGBUS) on a page past
    // its end, where the device would simply map: refused here instead.
    struct stat status {};
    if (::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode) &&
        static_cast<uint64_t>(status.st_size) < page + pageSize) {
        diagnosis_ = path_ + " ends before register " + Hex(physicalAddress);
        return false;
    }
    void* mapped = ::mmap(nullptr, pageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, static_cast<off_t>(page));
    if (mapped == MAP_FAILED) {
        diagnosis_ = "cannot map the page at " + Hex(page) + " of " + path_ + " (" + std::strerror(errno) +
                     "): a kernel with STRICT_DEVMEM or lockdown keeps it out of reach";
        return false;
    }
    pages_.emplace(page, mapped);
    return true;
}

volatile uint32_t* DevMemBoardIo::Register(BoardIoHandle handle, uint32_t physicalAddress) const {
    if (handle != kSessionHandle) {
        return nullptr;
    }
    const uint64_t pageSize = PageSize();
    const uint64_t page = physicalAddress / pageSize * pageSize;
    const auto found = pages_.find(page);
    if (found == pages_.end() || physicalAddress % sizeof(uint32_t) != 0) {
        return nullptr;
    }
    return reinterpret_cast<volatile uint32_t*>(static_cast<char*>(found->second) + (physicalAddress - page));
}

uint32_t DevMemBoardIo::ReadDWord(BoardIoHandle handle, uint32_t physicalAddress) {
    volatile uint32_t* word = Register(handle, physicalAddress);
    return word != nullptr ? *word : 0;
}

void DevMemBoardIo::WriteDWord(BoardIoHandle handle, uint32_t physicalAddress, uint32_t value) {
    if (volatile uint32_t* word = Register(handle, physicalAddress)) {
        *word = value;
    }
}

std::unique_ptr<BoardIo> MakeSystemBoardIo() { return std::make_unique<DevMemBoardIo>(); }

} // namespace cashdrawer
