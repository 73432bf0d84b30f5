#include "os/durable_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace cashdrawer::agent {
namespace {

class PosixAppendFile final : public AppendFile {
public:
    PosixAppendFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
    ~PosixAppendFile() override { ::close(fd_); }

    bool Append(std::string_view text) override {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t wrote = ::write(fd_, text.data() + done, text.size() - done);
            if (wrote > 0) {
                done += static_cast<std::size_t>(wrote);
            } else if (wrote < 0 && errno == EINTR) {
                continue;
            } else {
                error_ = wrote < 0 ? std::strerror(errno) : "the file takes no more bytes";
                // ENOSPC or EFBIG part way: the part is cut off, so that the
                // file ends with a whole line as before.
                if (done > 0 && ::ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
                    error_ += "; the part written could not be cut off";
                }
                return false;
            }
        }
        size_ += text.size();
        return true;
    }
    bool Sync() override {
        if (::fdatasync(fd_) != 0) {
            error_ = std::strerror(errno);
            return false;
        }
        return true;
    }
    uint64_t Size() const override { return size_; }
    std::string Error() const override { return error_; }

private:
    int fd_;
    uint64_t size_;
    std::string error_;
};

class PosixFolderLock final : public FolderLock {
public:
    explicit PosixFolderLock(int fd) : fd_(fd) {}
    ~PosixFolderLock() override { ::close(fd_); } // closing drops the lock

private:
    int fd_;
};

// Opens an existing or new file of the journal's folder for the agent's
// own use: never through a link, and only a regular file.
// `why` is left empty for a file that does not exist.
int OpenOwnFile(const std::string& path, int flags, std::string& why) {
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0640);
    if (fd < 0) {
        why = errno == ELOOP ? "a symbolic link, which the agent never follows"
              : errno == ENOENT ? ""
                                : std::strerror(errno);
        return -1;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        why = "not a regular file";
        ::close(fd);
        return -1;
    }
    // Non-blocking only for the open itself (a FIFO would wait there for a
    // writer); a regular file's reads and writes never block on it.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Reads up to `count` bytes at `offset`, first as many as the file is
// thought to hold (`expected`; the bound may be far past the file's end),
// then a step at a time while it goes on; false on an error.
bool ReadAt(int fd, uint64_t offset, std::size_t count, std::size_t expected, std::string& out) {
    // (Both sizes are memory figures only: any first size and any step read
    // the same bytes, so no test tells them apart.)
    constexpr std::size_t kStep = 1u << 20;
    out.clear();
    std::size_t done = 0;
    while (done < count) { // (`<=` would only add a read of nothing at the end: the same bytes)
        out.resize(std::min(count, done == 0 ? expected + 1 : done + kStep));
        const ssize_t got = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        // (errno is read only after a failure: a 0, the end, leaves it as
        // it was, so a test cannot tell `got < 0` here from `got < 1`.)
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    out.resize(done);
    return true;
}

} // namespace

std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path, std::string& error) {
    // A file past RLIMIT_FSIZE must fail the write with EFBIG, not end the
    // agent with SIGXFSZ.
    std::signal(SIGXFSZ, SIG_IGN);
    std::string why;
    const int fd = OpenOwnFile(path, O_WRONLY | O_APPEND | O_CREAT, why);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        error = path + ": " + (fd < 0 ? (why.empty() ? "no such folder" : why) : std::strerror(errno));
        if (fd >= 0) {
            ::close(fd);
        }
        return nullptr;
    }
    return std::make_unique<PosixAppendFile>(fd, static_cast<uint64_t>(status.st_size));
}

std::unique_ptr<FolderLock> LockFolder(const std::string& folder, LockResult& result, std::string& error) {
    const std::string path = folder + "/journal.lock";
    std::string why;
    const int fd = OpenOwnFile(path, O_RDWR | O_CREAT, why);
    if (fd < 0) {
        result = LockResult::Failed; // (as the caller's own default: said for the reader)
        error = path + ": " + (why.empty() ? "no such folder" : why);
        return nullptr;
    }
    // flock belongs to the open file: a second agent, in this process or
    // another, is refused; the lock ends with the process, even on kill -9.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        ::close(fd);
        result = why == EWOULDBLOCK ? LockResult::HeldByAnother : LockResult::Failed;
        error = path + ": " + (why == EWOULDBLOCK ? "another agent writes this journal" : std::strerror(why));
        return nullptr;
    }
    result = LockResult::Held;
    return std::make_unique<PosixFolderLock>(fd);
}

void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool TruncateFile(const std::string& path, uint64_t size) {
    std::string why;
    const int fd = OpenOwnFile(path, O_WRONLY, why);
    if (fd < 0) {
        return false;
    }
    const bool cut = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    ::close(fd);
    return cut;
}

std::optional<std::string> ReadFileBytes(const std::string& path, uint64_t maxBytes, std::string* why) {
    std::string problem;
    const int fd = OpenOwnFile(path, O_RDONLY, problem);
    if (fd < 0) {
        if (why != nullptr) {
            *why = problem;
        }
        return std::nullopt;
    }
    struct stat status {};
    std::string bytes;
    // One byte past the bound tells a file that grew past it since fstat.
    const bool read = ::fstat(fd, &status) == 0 && static_cast<uint64_t>(status.st_size) <= maxBytes &&
                      ReadAt(fd, 0, static_cast<std::size_t>(maxBytes) + 1, static_cast<std::size_t>(status.st_size), bytes) &&
                      bytes.size() <= maxBytes;
    const int readError = errno;
    ::close(fd);
    if (!read) {
        if (why != nullptr) {
            *why = bytes.size() > maxBytes || static_cast<uint64_t>(status.st_size) > maxBytes
                       ? "larger than the " + std::to_string(maxBytes) + " bytes a file of its kind may hold"
                       : std::strerror(readError);
        }
        return std::nullopt;
    }
    return bytes;
}

std::optional<std::string> ReadFileChunk(const std::string& path, uint64_t offset, std::size_t count, std::string* why) {
    std::string problem;
    const int fd = OpenOwnFile(path, O_RDONLY, problem);
    if (fd < 0) {
        if (why != nullptr) {
            *why = problem;
        }
        return std::nullopt;
    }
    std::string bytes;
    const bool read = ReadAt(fd, offset, count, count, bytes);
    if (!read && why != nullptr) {
        *why = std::strerror(errno);
    }
    ::close(fd);
    return read ? std::optional<std::string>(std::move(bytes)) : std::nullopt;
}

std::string ForeignFolderProblem(const std::string& folder) {
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) {
        return ""; // (the lock file's opening names what is wrong with it)
    }
    if (status.st_uid != ::geteuid() && status.st_uid != 0) {
        return "the folder belongs to another account (uid " + std::to_string(status.st_uid) + ")";
    }
    if ((status.st_mode & S_IWOTH) != 0) {
        // Sticky or not: any account could place a link where the agent
        // is about to make a file.
        return "every account may write to the folder";
    }
    return "";
}

} // namespace cashdrawer::agent
