#include "config/ini_file.h"
#include "platform/whole_file_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace cashdrawer {
namespace {

// Closes a descriptor on every road out.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// A local file takes the whole text in its first write; a disk that fills
// mid-text writes short, and the write of the rest then fails.
bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t wrote = ::write(fd, text.data(), text.size());
        if (wrote > 0) {
            text.remove_prefix(static_cast<std::size_t>(wrote));
        } else if (wrote < 0 && errno != EINTR) {
            return false; // a full disk, a quota
        }
    }
    return true;
}

// The file's folder, for the temporary file beside it.
std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

enum class Replace { Done, FolderNotWritable, Failed };

// A writer's temporary file is named after its process, so that one it
// left behind when it was killed can be told from one still being written.
constexpr std::string_view kTemporaryPrefix = ".CashDrawer-";

// Whether a temporary file of ours is a dead writer's: its process is gone,
// or (a name without a process, from before names carried one) nobody but
// the holder of the folder's lock, which every writer takes, can be
// writing it now.
bool IsStaleTemporary(std::string_view name, bool folderLocked) {
    if (name.substr(0, kTemporaryPrefix.size()) != kTemporaryPrefix) {
        return false;
    }
    const std::string_view rest = name.substr(kTemporaryPrefix.size());
    const auto dash = rest.find('-');
    if (dash == std::string_view::npos) {
        return folderLocked && rest.size() == 6; // mkstemp's six letters alone
    }
    const std::string digits(rest.substr(0, dash));
    char* end = nullptr;
    const long pid = std::strtol(digits.c_str(), &end, 10);
    // (A pid of 0 would ask after our own process group, which is always
    // there: refused here or by kill(), it is never taken for dead.)
    if (digits.empty() || *end != '\0' || pid <= 0) {
        return false;
    }
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Removes the temporary files that killed writers left in the folder.
void RemoveStaleTemporaries(const std::string& folder, bool folderLocked) {
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(listing)) {
        if (IsStaleTemporary(entry->d_name, folderLocked)) {
            ::unlinkat(::dirfd(listing), entry->d_name, 0);
        }
    }
    ::closedir(listing);
}

// Writes the text to a new file in the folder and renames it over `path`:
// the rename is the one step in which the file changes.
Replace ReplaceAtomically(const std::string& path, const std::string& text, mode_t mode) {
    std::string temporary =
        FolderOf(path) + "/" + std::string(kTemporaryPrefix) + std::to_string(::getpid()) + "-XXXXXX";
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    Descriptor out(::mkstemp(name.data()));
    // (Never descriptor 0: with standard input closed, the folder's lock
    // or, failing that, the file being replaced took it first. `< 1` would
    // read the same.)
    if (out.get() < 0) {
        return errno == EACCES || errno == EPERM || errno == EROFS ? Replace::FolderNotWritable : Replace::Failed;
    }
    temporary.assign(name.data());
    const bool written = WriteAll(out.get(), text) && ::fchmod(out.get(), mode) == 0 && ::fsync(out.get()) == 0;
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str()); // a full disk: the file stays as it was
        return Replace::Failed;
    }
    return Replace::Done;
}

// Writers of the files in one folder take turns on a lock of the folder
// itself: unlike the file, which each write replaces, the folder stays
// the same object, so a writer that has waited never finds its lock on a
// file that is gone - and a writer in a tight loop cannot take the new file
// from under it again and again. -1 when the folder cannot be opened (no
// read right on it): then the file's own lock serves.
int LockFolder(const std::string& path) {
    // (The parent of a path is a folder whenever it opens at all, so
    // O_DIRECTORY only says what is meant; O_CLOEXEC keeps the lock out of a
    // program the application starts meanwhile.)
    const int fd = ::open(FolderOf(path).c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (fd >= 0 && ::flock(fd, LOCK_EX) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Opens the file (creating it empty when missing) and takes its lock. A
// writer that replaced the file while we waited has left our descriptor on
// the old one: open the new one and wait again.
int OpenLocked(const std::string& path) {
    // Bounded, so that a file replaced under us for ever cannot hold a
    // writer; in practice a second attempt always finds the file stable.
    // (Only a writer that loses the race a hundred times in a row reaches
    // the bound: no test can make that happen on purpose.)
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            return -1;
        }
        struct stat held {};
        struct stat named {};
        if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            return fd;
        }
        ::close(fd);
    }
    return -1;
}

} // namespace

PathKind KindOfPath(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return PathKind::Missing;
    }
    return S_ISREG(info.st_mode) ? PathKind::File : PathKind::Other;
}

bool CanWriteFile(const std::string& path) {
    switch (KindOfPath(path)) {
    case PathKind::File: return ::access(path.c_str(), W_OK) == 0;
    case PathKind::Missing: return ::access(FolderOf(path).c_str(), W_OK | X_OK) == 0;
    case PathKind::Other: return false;
    }
    return false; // not reached: every kind is answered above
}

bool UpdateIniFile(const std::string& path, const std::function<std::string(const std::string&)>& update) {
    const Descriptor folderLock(LockFolder(path));
    RemoveStaleTemporaries(FolderOf(path), folderLock.get() >= 0);
    Descriptor locked(OpenLocked(path));
    // Nothing is written unless the file could be opened, read and looked
    // at. (Descriptor 0 is a file like any other here; but the folder lock,
    // opened just before, takes 0 when it is free, and for root, as the
    // tests run, that lock always opens: no test reaches 0 on this line.)
    struct stat held {};
    const auto content = locked.get() >= 0 ? ReadWholeDescriptor(locked.get()) : std::nullopt;
    if (!content || ::fstat(locked.get(), &held) != 0) {
        return false;
    }
    const std::string updated = update(*content);
    const Replace replaced = ReplaceAtomically(path, updated, held.st_mode & 07777);
    if (replaced != Replace::FolderNotWritable) {
        return replaced == Replace::Done;
    }
    // A folder we may not create files in, with a file we may write: the
    // change in place, still under the lock, is better than none.
    return ::ftruncate(locked.get(), 0) == 0 && ::lseek(locked.get(), 0, SEEK_SET) == 0 &&
           WriteAll(locked.get(), updated);
}

} // namespace cashdrawer
