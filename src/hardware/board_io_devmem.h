// Board I/O on Linux: the GPIO registers mapped from physical memory through
// /dev/mem. Each Open opens the device with O_SYNC, so the mappings bypass
// the cache and every access reaches the register; each register's page is
// mapped when a drawer first asks for it and unmapped at Close.
#pragma once

#include "hardware/board_io.h"

#include <map>
#include <string>

namespace cashdrawer {

class DevMemBoardIo final : public BoardIo {
public:
    static constexpr char kPhysicalMemory[] = "/dev/mem";

    // `path` is /dev/mem on a terminal; tests hand in a regular file that
    // stands for physical memory.
    explicit DevMemBoardIo(std::string path = kPhysicalMemory) : path_(std::move(path)) {}
    ~DevMemBoardIo() override { CloseSession(); }
    DevMemBoardIo(const DevMemBoardIo&) = delete;
    DevMemBoardIo& operator=(const DevMemBoardIo&) = delete;

    BoardIoHandle Open() override;
    void Close(BoardIoHandle handle) override;
    bool Reach(BoardIoHandle handle, uint32_t physicalAddress) override;
    // Only registers Reach mapped are touched: anything else reads 0 and
    // writes nothing.
    uint32_t ReadDWord(BoardIoHandle handle, uint32_t physicalAddress) override;
    void WriteDWord(BoardIoHandle handle, uint32_t physicalAddress, uint32_t value) override;
    std::string Diagnosis() const override { return diagnosis_; }

private:
    // The register's word in a mapped page, or null.
    volatile uint32_t* Register(BoardIoHandle handle, uint32_t physicalAddress) const;
    void CloseSession();

    std::string path_;
    std::string diagnosis_;
    int fd_ = -1;
    // Page address -> where it is mapped.
    std::map<uint64_t, void*> pages_;
};

} // namespace cashdrawer
