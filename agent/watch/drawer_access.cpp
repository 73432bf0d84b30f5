#include "watch/drawer_access.h"

#include "cash_drawer.h"

#include <type_traits>

namespace cashdrawer::agent {
namespace {

// The functions the agent calls, typed after the public header so that a
// change there cannot go unnoticed here.
struct DrawerFunctions {
    decltype(&::OpenCash) openCash = nullptr;
    decltype(&::GetCashStatus) getCashStatus = nullptr;
    decltype(&::OpenCashConfirmed) openCashConfirmed = nullptr;
    decltype(&::GetCashDrawerError) getCashDrawerError = nullptr;
    decltype(&::GetCashDrawerVersion) getCashDrawerVersion = nullptr;
};

template <typename Function>
bool Resolve(void* library, const char* name, Function& function, std::string& missing) {
    function = reinterpret_cast<Function>(shared_library::Find(library, name));
    if (function == nullptr) {
        missing += missing.empty() ? name : std::string(", ") + name;
    }
    return function != nullptr;
}

// A text export's result, asked for its length first.
template <typename Function>
std::string ReadText(Function function) {
    const int length = function(nullptr, 0);
    if (length <= 0) {
        return {};
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    function(text.data(), length + 1);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

class LoadedDrawerLibrary final : public DrawerAccess {
public:
    LoadedDrawerLibrary(void* library, DrawerFunctions functions, std::string location)
        : library_(library), functions_(functions), location_(std::move(location)) {}
    ~LoadedDrawerLibrary() override { shared_library::Close(library_); }

    int GetCashStatus(const std::string& drawerId) override { return functions_.getCashStatus(drawerId.c_str()); }
    int OpenCash(const std::string& drawerId) override { return functions_.openCash(drawerId.c_str()); }
    int OpenCashConfirmed(const std::string& drawerId, int timeoutMs) override {
        return functions_.openCashConfirmed(drawerId.c_str(), timeoutMs);
    }
    std::string LastError() override { return ReadText(functions_.getCashDrawerError); }
    std::string Version() override { return ReadText(functions_.getCashDrawerVersion); }
    std::string Location() const override { return location_; }

private:
    void* library_;
    DrawerFunctions functions_;
    std::string location_;
};

} // namespace

std::unique_ptr<DrawerAccess> LoadDrawerLibrary(const std::string& path, std::string& error) {
    std::string location;
    void* library = shared_library::Open(path, location, error);
    if (library == nullptr) {
        return nullptr;
    }
    DrawerFunctions functions;
    std::string missing;
    // Every function at once, one failure path: a library of 0.1 lacks the
    // confirmed kick and the error text the agent needs.
    Resolve(library, "OpenCash", functions.openCash, missing);
    Resolve(library, "GetCashStatus", functions.getCashStatus, missing);
    Resolve(library, "OpenCashConfirmed", functions.openCashConfirmed, missing);
    Resolve(library, "GetCashDrawerError", functions.getCashDrawerError, missing);
    Resolve(library, "GetCashDrawerVersion", functions.getCashDrawerVersion, missing);
    if (!missing.empty()) {
        shared_library::Close(library);
        error = location + " lacks " + missing + ": the agent needs the library of version 0.2 or later";
        return nullptr;
    }
    return std::make_unique<LoadedDrawerLibrary>(library, functions, location);
}

} // namespace cashdrawer::agent
