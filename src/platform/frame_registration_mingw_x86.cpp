// 32-bit mingw only: gives back the semaphore that libgcc's unwinder takes
// when a DLL registers its exception frames.
//
// On x86 the mingw runtime unwinds with DWARF-2 tables. crtbegin.o registers
// the DLL's frame tables with __register_frame_info when the DLL loads and
// deregisters them when it unloads. libgcc, linked in statically, guards its
// list of registered tables with a mutex that, in the win32 thread model, is
// a semaphore made on first use and never closed: one kernel handle left
// behind at every LoadLibrary/FreeLibrary of every C++ DLL built this way,
// for as long as the process runs. (x64 unwinds with the system's tables and
// registers nothing.)
//
// The link wraps the two registration functions (--wrap, set in CMake) and
// routes this DLL's own CreateSemaphoreW import here: the semaphore made
// while the frames are being registered is noted, and closed once they are
// deregistered, when the DLL's copy of libgcc will never take it again.
// Every other semaphore passes straight through.
#include <windows.h>

namespace {

HANDLE registrationSemaphore = nullptr;
bool registering = false;

HANDLE WINAPI CreateSemaphoreNoted(SECURITY_ATTRIBUTES* security, LONG initialCount, LONG maximumCount,
                                   const wchar_t* name) {
    // The Ex form is imported under its own name, so this does not come
    // back here.
    HANDLE semaphore = ::CreateSemaphoreExW(security, initialCount, maximumCount, name, 0, SEMAPHORE_ALL_ACCESS);
    if (registering && registrationSemaphore == nullptr) {
        registrationSemaphore = semaphore;
    }
    return semaphore;
}

} // namespace

extern "C" {

// The import slot the linker would otherwise take from kernel32's import
// library: every call to CreateSemaphoreW in this binary goes through it.
extern decltype(&CreateSemaphoreNoted) importedCreateSemaphoreW __asm__("__imp__CreateSemaphoreW@16");
decltype(&CreateSemaphoreNoted) importedCreateSemaphoreW = CreateSemaphoreNoted;

void __real___register_frame_info(const void* frames, void* object);
void* __real___deregister_frame_info(const void* frames);

void __wrap___register_frame_info(const void* frames, void* object) {
    registering = true;
    __real___register_frame_info(frames, object);
    registering = false;
}

void* __wrap___deregister_frame_info(const void* frames) {
    void* object = __real___deregister_frame_info(frames);
    if (registrationSemaphore != nullptr) {
        ::CloseHandle(registrationSemaphore);
        registrationSemaphore = nullptr;
    }
    return object;
}

} // extern "C"
