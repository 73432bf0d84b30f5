#include "platform/library_location.h"

#include <dlfcn.h>

namespace cashdrawer {

std::string LibraryPath() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&LibraryPath), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    return info.dli_fname;
}

} // namespace cashdrawer
