// Run-time loading of the vendor hardware libraries (Windows only).
//
// They are never imported: a terminal that lacks one of them must still load
// our DLL and drive the drawers that do not need it.
#pragma once

#include <string>

namespace cashdrawer {

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
