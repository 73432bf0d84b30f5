// 32-bit access to physical memory through the vendor board I/O library,
// for drawers wired to GPIO registers in memory rather than in the port
// space. The library is opened and closed around each drawer operation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace cashdrawer {

// The library's handle; 0 means none.
using BoardIoHandle = uintptr_t;

class BoardIo {
public:
    virtual ~BoardIo() = default;

    // A new handle, or 0 when the library is missing, lacks a function or
    // cannot open the board.
    virtual BoardIoHandle Open() = 0;
    virtual void Close(BoardIoHandle handle) = 0;
    // Makes the register reachable through the handle before any access to
    // it; false, with the Diagnosis saying why, when it cannot be. A library
    // that reaches all of physical memory once open has nothing to do.
    virtual bool Reach(BoardIoHandle /*handle*/, uint32_t /*physicalAddress*/) { return true; }
    virtual uint32_t ReadDWord(BoardIoHandle handle, uint32_t physicalAddress) = 0;
    virtual void WriteDWord(BoardIoHandle handle, uint32_t physicalAddress, uint32_t value) = 0;

    // In words: where the library is, or why the last Open gave no handle.
    virtual std::string Diagnosis() const = 0;
};

// The board I/O of the operating system the library was built for. Whatever
// it loads is released when it is destroyed.
std::unique_ptr<BoardIo> MakeSystemBoardIo();

} // namespace cashdrawer
