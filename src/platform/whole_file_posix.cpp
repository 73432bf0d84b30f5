#include "platform/whole_file.h"
#include "platform/whole_file_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace cashdrawer {

std::optional<std::string> ReadWholeDescriptor(int fd) {
    std::string content;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got > 0) {
            content.append(chunk, static_cast<std::size_t>(got));
        } else if (got == 0) {
            return content;
        } else if (errno != EINTR) {
            return std::nullopt; // EISDIR, EIO: not a file we can use
        }
    }
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    auto content = ReadWholeDescriptor(fd);
    ::close(fd);
    return content;
}

} // namespace cashdrawer
