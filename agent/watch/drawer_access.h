// The drawers as the agent reaches them: through the library's public C
// API, loaded at run time exactly as a point-of-sale application loads it
// (libcashdrawer.so.0 from the loader's path - the simulated one when
// LD_LIBRARY_PATH names its folder - or Cash_Drawer_DLL.dll beside the
// agent). The agent never links the drawer logic in.
#pragma once

#include <memory>
#include <string>

namespace cashdrawer::agent {

class DrawerAccess {
public:
    virtual ~DrawerAccess() = default;
    virtual int GetCashStatus(const std::string& drawerId) = 0;
    virtual int OpenCash(const std::string& drawerId) = 0;
    virtual int OpenCashConfirmed(const std::string& drawerId, int timeoutMs) = 0;
    // The library's words for this thread's last -1, -2 or -3.
    virtual std::string LastError() = 0;
    virtual std::string Version() = 0;
    // Which library file answers.
    virtual std::string Location() const = 0;
};

// `path` empty: the platform's default name. Null, with `error`, when the
// library or one of its functions cannot be had.
std::unique_ptr<DrawerAccess> LoadDrawerLibrary(const std::string& path, std::string& error);

// The platform's half: open a shared library, find a function, close it.
namespace shared_library {
void* Open(const std::string& path, std::string& location, std::string& error);
void* Find(void* library, const char* name);
void Close(void* library);
} // namespace shared_library

} // namespace cashdrawer::agent
