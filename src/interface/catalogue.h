// The catalogue of drawer identifiers: which drawer method serves each one,
// with which arguments, and the order in which each export tests them.
#pragma once

#include "hardware/drawer_id.h"

#include <cstdint>
#include <span>

namespace cashdrawer {

enum class DrawerMethod : uint8_t {
    Serial,        // drawer device on a COM port
    MemoryGpio,    // GPIO registers in physical memory, through the board I/O library
    ProfileGpio32, // 32-bit port GPIO profiles (the RN370 register)
    ProfileGpio8,  // 8-bit port GPIO profiles
    SuperIo,       // GPIO of the Super I/O chip, through its configuration mode
    FixedPort,     // fixed I/O ports written and read directly
};

enum class KickKind : uint8_t {
    None, // identifier known to OpenCash, but its drawer has no kick sequence
    SerialDrawer,
    MemoryGpio,
    ProfileGpio8,
    ProfileGpio32,
    SuperIoToggle,     // value: drive mask
    SuperIoPulse,      // value: drive mask
    PortPulse,         // port, value: pulse byte, trailingPauseMs
    PortPulseReadBack, // value: pulse byte
    PortMaskedPulse,   // the drawer letter picks the line
};

enum class StatusKind : uint8_t {
    NotRecognised, // GetCashStatus does not know the identifier
    SerialDrawer,
    MemoryGpio,
    ProfileGpio8,
    ProfileGpio32,
    SuperIoPrepared, // the drawer letter picks the sense bit
    SuperIoDirect,   // senseMask
    PortStatus,      // port, senseMask, port486SetUp
};

struct KickBinding {
    KickKind kind = KickKind::None;
    uint16_t port = 0;
    uint8_t value = 0;
    uint8_t trailingPauseMs = 0;
};

struct StatusBinding {
    StatusKind kind = StatusKind::NotRecognised;
    uint16_t port = 0;
    uint8_t senseMask = 0;
    bool port486SetUp = false;
};

struct CatalogueRow {
    int number; // 1-based position in OpenCash's test order
    const char* drawerId;
    DrawerMethod method;
    KickBinding kick;
    StatusBinding status;

    DrawerLetter Letter() const;
    // The identifier handed to a port GPIO profile operation: the row's own
    // for the 8-bit family; the RN370 drawer of the same letter for every
    // model wired like the RN370.
    const char* ProfileId() const;
    // Serial and memory-mapped drawers never touch the port I/O library.
    bool UsesPortIo() const { return method != DrawerMethod::Serial && method != DrawerMethod::MemoryGpio; }
};

// All 57 rows, in OpenCash's test order.
std::span<const CatalogueRow> Catalogue();
// Row numbers of the 54 rows GetCashStatus tests, in its own order.
std::span<const uint8_t> StatusTestOrder();

// The row each export matches, or null. A null identifier matches nothing.
const CatalogueRow* FindForOpenCash(const char* drawerId);
const CatalogueRow* FindForGetCashStatus(const char* drawerId);

} // namespace cashdrawer
