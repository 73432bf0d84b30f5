// The DLL's load and unload notification. Loading runs nothing of ours: no
// port, file, device or thread is touched until the first export call.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    // Nothing is held between calls yet, so nothing is released at unload.
    return TRUE;
}
