// Run-time loading of the vendor hardware libraries (Windows only).
//
// They are never imported: a terminal that lacks one of them must still load
// our DLL and drive the drawers that do not need it.
#pragma once

#include <string>

namespace cashdrawer {

// The terminal makers' hardware libraries, by the bitness of the process
// that loads them: a process loads only DLLs of its own kind, and the port
// I/O library's 32-bit build has a name of its own. The board I/O
// library's 32-bit build keeps its name; should a terminal maker call it
// otherwise, that is one line here.
struct HardwareLibraryNames {
    const wchar_t* portIo;
    const wchar_t* boardIo;
    const char* portIoName; // the same names, for messages
    const char* boardIoName;
};
inline constexpr HardwareLibraryNames kHardwareLibraries64{L"WinIo64.dll", L"QuorlinIO.dll", "WinIo64.dll",
                                                           "QuorlinIO.dll"};
inline constexpr HardwareLibraryNames kHardwareLibraries32{L"WinIo32.dll", L"QuorlinIO.dll", "WinIo32.dll",
                                                           "QuorlinIO.dll"};
inline constexpr const HardwareLibraryNames& kHardwareLibraries =
    sizeof(void*) == 8 ? kHardwareLibraries64 : kHardwareLibraries32;

// One function a hardware library must export, and where to store it.
struct RequiredSymbol {
    const char* name;
    void** slot;
};

// Loads `fileName` from the folder of our own DLL, else from the
// application's folder or System32 - never from the current directory,
// where a planted copy would run with the point-of-sale application's
// rights - and resolves every symbol in `symbols`. Returns the module, or
// null (with every slot null and the module released) when the library or
// any one of the symbols is missing. `where` receives, in words, the path
// the library was loaded from, or why it could not be used (the folders
// searched, or the function it lacks).
void* LoadHardwareLibrary(const wchar_t* fileName, const RequiredSymbol* symbols, int symbolCount, std::string& where);
// Gives back a module LoadHardwareLibrary returned; null is ignored.
void ReleaseHardwareLibrary(void* module);

} // namespace cashdrawer
