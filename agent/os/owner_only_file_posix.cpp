#include "os/owner_only_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cashdrawer::agent {

bool WriteOwnerOnlyFile(const std::string& path, const std::string& text, std::string& error) {
    const std::string temporary = path + ".new";
    ::unlink(temporary.c_str());
    // O_EXCL with the mode given at creation: the file is never readable by
    // others, not even for the moment before a chmod.
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = temporary + ": " + std::strerror(errno);
        return false;
    }
    // A short write leaves the rest for the next round. On a local file
    // system one comes only from a full disk or the file size limit, and
    // the next round's write then fails: no test here can make the round
    // after a short write succeed.
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        // write() of a non-zero count to a regular file returns 0 never:
        // whether 0 joins the interrupted case or the failure below cannot
        // be seen. (It is a failure here, so an odd file system that takes
        // nothing cannot keep us in this loop.)
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            // A 0 leaves errno as it was, so it is named in words; as it
            // never comes, no test can show which text it gets.
            error = temporary + ": " + (wrote < 0 ? std::strerror(errno) : "the file takes no more bytes");
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    if (!synced || std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

void RemoveFileIfThere(const std::string& path) { ::unlink(path.c_str()); }

} // namespace cashdrawer::agent
