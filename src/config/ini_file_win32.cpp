#include "config/ini_file.h"
#include "platform/whole_file.h"

#include <windows.h>

#include <cstdio>
#include <functional>

namespace cashdrawer {
namespace {

// Every writer of one path, in any process, takes the same named mutex.
class PathLock {
public:
    explicit PathLock(const std::string& path) {
        char name[64];
        std::snprintf(name, sizeof name, "Local\\CashDrawerIni-%016zx", std::hash<std::string>{}(path));
        mutex_ = ::CreateMutexA(nullptr, FALSE, name);
        held_ = mutex_ != nullptr && ::WaitForSingleObject(mutex_, INFINITE) != WAIT_FAILED;
    }
    ~PathLock() {
        if (held_) {
            ::ReleaseMutex(mutex_);
        }
        if (mutex_ != nullptr) {
            ::CloseHandle(mutex_);
        }
    }
    PathLock(const PathLock&) = delete;
    PathLock& operator=(const PathLock&) = delete;
    bool Held() const { return held_; }

private:
    HANDLE mutex_ = nullptr;
    bool held_ = false;
};

} // namespace

PathKind KindOfPath(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return PathKind::Missing;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Other : PathKind::File;
}

bool CanWriteFile(const std::string& path) {
    const PathKind kind = KindOfPath(path);
    if (kind == PathKind::Other) {
        return false;
    }
    // An existing file opened for writing and closed unwritten; for a
    // missing one, a probe beside it that the system deletes as it closes.
    const std::string target = kind == PathKind::File ? path : path + ".probe";
    HANDLE file = ::CreateFileA(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, kind == PathKind::File ? OPEN_EXISTING : CREATE_NEW,
                                kind == PathKind::File ? FILE_ATTRIBUTE_NORMAL : FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    ::CloseHandle(file);
    return true;
}

bool UpdateIniFile(const std::string& path, const std::function<std::string(const std::string&)>& update) {
    PathLock lock(path);
    if (!lock.Held()) {
        return false;
    }
    const std::string updated = update(ReadWholeFile(path).value_or(std::string()));
    const std::string temporary = path + ".new";
    HANDLE out = ::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD wrote = 0;
    const bool written = ::WriteFile(out, updated.data(), static_cast<DWORD>(updated.size()), &wrote, nullptr) &&
                         wrote == updated.size() && ::FlushFileBuffers(out);
    ::CloseHandle(out);
    if (!written || !::MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ::DeleteFileA(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace cashdrawer
