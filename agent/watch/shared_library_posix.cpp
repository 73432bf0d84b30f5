#include "watch/drawer_access.h"

#include <dlfcn.h>
#include <link.h>

namespace cashdrawer::agent::shared_library {

void* Open(const std::string& path, std::string& location, std::string& error) {
    // The SONAME: the library an application linked against it would load.
    const std::string name = path.empty() ? "libcashdrawer.so.0" : path;
    void* library = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = ::dlerror();
        error = why != nullptr ? why : name + " could not be loaded";
        return nullptr;
    }
    const link_map* map = nullptr;
    location = ::dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr ? map->l_name : name;
    return library;
}

void* Find(void* library, const char* name) { return ::dlsym(library, name); }

void Close(void* library) { ::dlclose(library); }

} // namespace cashdrawer::agent::shared_library
