// The DLL's load and unload notification. Loading runs nothing of ours: no
// port, file, device or thread is touched until the first export call.
#include "interface/library_unload.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH) {
        // A non-null `reserved` means the process is exiting: the other
        // threads are gone already, and nothing must wait for them.
        cashdrawer::OnLibraryUnload(reserved != nullptr);
    }
    return TRUE;
}
