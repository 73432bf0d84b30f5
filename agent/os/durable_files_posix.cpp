#include "os/durable_files.h"

#include "platform/whole_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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

} // namespace

std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path, std::string& error) {
    // A file past RLIMIT_FSIZE must fail the write with EFBIG, not end the
    // agent with SIGXFSZ.
    std::signal(SIGXFSZ, SIG_IGN);
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        error = path + ": " + std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return nullptr;
    }
    return std::make_unique<PosixAppendFile>(fd, static_cast<uint64_t>(status.st_size));
}

std::unique_ptr<FolderLock> LockFolder(const std::string& folder, LockResult& result, std::string& error) {
    const std::string path = folder + "/journal.lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        result = LockResult::Failed; // (as the caller's own default: said for the reader)
        error = path + ": " + std::strerror(errno);
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

bool TruncateFile(const std::string& path, uint64_t size) { return ::truncate(path.c_str(), static_cast<off_t>(size)) == 0; }

std::optional<std::string> ReadFileBytes(const std::string& path) { return ReadWholeFile(path); }

} // namespace cashdrawer::agent
