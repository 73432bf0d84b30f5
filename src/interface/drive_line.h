// Where each drawer's drive line is: the port bit, Super I/O register bit
// or memory register bit whose level the kick pulses. Tools use it to draw
// the pulse a kick makes.
#pragma once

#include "interface/catalogue.h"

#include <cstdint>

namespace cashdrawer {

struct DriveLine {
    enum class Where : uint8_t {
        None,            // no line of its own: the serial drawer, or no kick
        Port,            // a bit of an I/O port
        SuperIoRegister, // a bit of Super I/O register `address`, through ports 0x2E/0x2F
        Memory,          // a bit of a 32-bit register in physical memory
    };
    Where where = Where::None;
    uint32_t address = 0;
    uint32_t mask = 0;
};

DriveLine DriveLineOf(const CatalogueRow& row);

} // namespace cashdrawer
