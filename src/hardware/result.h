// What a drawer operation, or one step of it, came to: the one result type
// of every layer below the exports. Only src/interface turns it into the
// numbers the exports publish; the reason behind an unreachable drawer
// stays here, where it is known.
#pragma once

#include <cstdint>

namespace cashdrawer {

enum class [[nodiscard]] Result : uint8_t {
    Ok,        // done: the kick ran, the port opened, the library started
    StateBit0, // a drawer read: its state bit, as the hardware reports it
    StateBit1,
    UnknownDrawer, // no sequence serves this identifier in this function

    // The drawer's hardware could not be reached; each value says why.
    LibraryMissing,     // the port I/O library, or one of its functions, is not there
    LibraryFailed,      // the port I/O library's initialisation reported failure
    BoardIoUnavailable, // the board I/O library is missing, lacks a function, or did not open
    PortMissing,        // the COM port could not be opened
    SettingsRejected,   // its line-settings string was refused; the port stays open
    LineRefused,        // its line settings were not applied; the port stays open
    NotOpen,            // no COM port is open
    WriteFailed,        // a write to the COM port did not go out whole
    ThreadFailed,       // no monitor thread could be made
    NoReport,           // the device has sent no status report
    DeviceSilent,       // no report since a request more than 500 ms old
    MonitorLate,        // the monitor missed its stop: the drawer serves no more calls
};

constexpr Result StateOf(bool bitSet) { return bitSet ? Result::StateBit1 : Result::StateBit0; }

// A drawer read or a kick that reached the hardware.
constexpr bool Reached(Result result) {
    return result == Result::Ok || result == Result::StateBit0 || result == Result::StateBit1;
}

} // namespace cashdrawer
