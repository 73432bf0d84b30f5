// The local channel on Linux: a Unix socket in the journal folder, mode
// 0600, and on each connection the peer's credentials checked as well (the
// socket's mode is set just after it is bound, and the check closes that
// window): the agent's own account and root are served, any other refused.
#include "app/local_channel.h"

#include "app/agent_app.h"

#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <thread>

namespace cashdrawer::agent {
namespace {

// A request must arrive whole within this time.
constexpr int kRequestTimeMs = 5000;
// Connections served at once; one more is told so and closed.
constexpr std::size_t kMostConnections = 8;

std::string AccountOf(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return "uid " + std::to_string(uid);
}

bool FillAddress(const std::string& path, sockaddr_un& address, std::string& error) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = path + ": the path is longer than a Unix socket's " + std::to_string(sizeof address.sun_path - 1) +
                " bytes (a shorter JournalFolder serves)";
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

class SocketConnection final : public LocalConnection {
public:
    SocketConnection(int fd, uid_t uid) : fd_(fd), account_(AccountOf(uid)) {}
    ~SocketConnection() override { ::close(fd_); }
    SocketConnection(const SocketConnection&) = delete;
    SocketConnection& operator=(const SocketConnection&) = delete;

    bool ReadLine(std::string& line) override {
        line.clear();
        for (int waitedMs = 0; waitedMs < kRequestTimeMs; waitedMs += 100) {
            pollfd watched{fd_, POLLIN, 0};
            if (::poll(&watched, 1, 100) <= 0) {
                continue;
            }
            char chunk[256];
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0) {
                return false;
            }
            line.append(chunk, static_cast<std::size_t>(got));
            if (const auto end = line.find('\n'); end != std::string::npos) {
                line.resize(end);
                return line.size() <= kLocalRequestBytes;
            }
            if (line.size() > kLocalRequestBytes) {
                return false;
            }
        }
        return false;
    }

    bool WriteLine(const std::string& line) override {
        const std::string text = line + "\n";
        for (std::size_t sent = 0; sent < text.size();) {
            const ssize_t wrote = ::send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (wrote < 0 && errno == EINTR) {
                continue;
            }
            if (wrote <= 0) {
                return false;
            }
            sent += static_cast<std::size_t>(wrote);
        }
        return true;
    }

    bool WaitWhileConnected(const std::function<bool()>& stop) override {
        while (!stop()) {
            pollfd watched{fd_, POLLIN | POLLRDHUP, 0};
            if (::poll(&watched, 1, 100) > 0) {
                // The client sends nothing more: its end reads as 0 bytes
                // (a stray byte it sends is read and let be).
                char byte;
                const ssize_t got = ::recv(fd_, &byte, 1, MSG_DONTWAIT);
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                    return false;
                }
            }
        }
        return true;
    }

    std::string Account() const override { return account_; }

private:
    int fd_;
    std::string account_;
};

class SocketChannel final : public LocalChannel {
public:
    SocketChannel(int listener, std::string path, LocalCommands& commands)
        : listener_(listener), path_(std::move(path)), commands_(commands) {
        if (::pipe(stopPipe_) != 0) {
            stopPipe_[0] = stopPipe_[1] = -1;
        }
        acceptor_ = std::thread([this] { Accept(); });
    }
    ~SocketChannel() override {
        commands_.Stop();
        if (stopPipe_[1] >= 0) {
            const char byte = 1;
            [[maybe_unused]] const ssize_t wrote = ::write(stopPipe_[1], &byte, 1);
        }
        acceptor_.join();
        for (Worker& worker : workers_) {
            worker.thread.join();
        }
        ::close(listener_);
        ::unlink(path_.c_str());
        for (int fd : stopPipe_) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    SocketChannel(const SocketChannel&) = delete;
    SocketChannel& operator=(const SocketChannel&) = delete;

private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void Accept() {
        for (;;) {
            pollfd watched[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
            if (::poll(watched, 2, -1) < 0 && errno != EINTR) {
                return;
            }
            if (watched[1].revents != 0) {
                return;
            }
            if (watched[0].revents == 0) {
                continue;
            }
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                Serve(fd);
            }
        }
    }

    void Serve(int fd) {
        workers_.remove_if([](Worker& worker) {
            if (!worker.done) {
                return false;
            }
            worker.thread.join();
            return true;
        });
        ucred peer{};
        socklen_t size = sizeof peer;
        const bool known = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
        auto connection = std::make_unique<SocketConnection>(fd, known ? peer.uid : static_cast<uid_t>(-1));
        if (!known || (peer.uid != ::geteuid() && peer.uid != 0)) {
            connection->WriteLine("out the agent serves its own account and root only, not " + connection->Account());
            connection->WriteLine("exit " + std::to_string(kExitNoAgent));
            return;
        }
        if (workers_.size() >= kMostConnections) {
            connection->WriteLine("out the agent serves " + std::to_string(kMostConnections) +
                                  " local connections at once: try again when one has ended");
            connection->WriteLine("exit " + std::to_string(kExitNoAgent));
            return;
        }
        Worker& worker = workers_.emplace_back();
        worker.thread = std::thread([this, &worker, connection = std::move(connection)] {
            commands_.Serve(*connection);
            worker.done = true;
        });
    }

    int listener_;
    std::string path_;
    LocalCommands& commands_;
    int stopPipe_[2] = {-1, -1};
    std::thread acceptor_;
    std::list<Worker> workers_; // touched by the acceptor's thread alone, and the destructor after it
};

} // namespace

std::string LocalChannelAddress(const std::string& journalFolder) {
    return journalFolder + (journalFolder.ends_with('/') ? "" : "/") + "cashdrawer-agent.sock";
}

std::unique_ptr<LocalChannel> StartLocalChannel(const std::string& address, LocalCommands& commands, std::string& error) {
    sockaddr_un where{};
    if (!FillAddress(address, where, error)) {
        return nullptr;
    }
    // What a stopped agent left is taken away; anything else in its place
    // is no socket of ours to remove.
    struct stat found {};
    if (::lstat(address.c_str(), &found) == 0) {
        if (!S_ISSOCK(found.st_mode)) {
            error = address + " is there and is no socket: the local channel is not opened";
            return nullptr;
        }
        ::unlink(address.c_str());
    }
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        error = std::string("no socket: ") + std::strerror(errno);
        return nullptr;
    }
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 ||
        ::chmod(address.c_str(), 0600) != 0 || ::listen(listener, 16) != 0) {
        error = address + ": " + std::strerror(errno);
        ::close(listener);
        ::unlink(address.c_str());
        return nullptr;
    }
    return std::make_unique<SocketChannel>(listener, address, commands);
}

int RunLocalCommand(const std::string& address, const std::string& request, std::ostream& out, std::ostream& err) {
    sockaddr_un where{};
    std::string error;
    if (!FillAddress(address, where, error)) {
        err << "cashdrawer-agent: " << error << "\n";
        return kExitNoAgent;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
        const int why = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        err << "cashdrawer-agent: " << address << ": "
            << (why == EACCES || why == EPERM ? "this account may not use the agent's channel (its own account and "
                                                "root may)"
                : why == ENOENT || why == ECONNREFUSED ? "no agent answers here (is cashdrawer-agent serve running?)"
                                                       : std::strerror(why))
            << "\n";
        return kExitNoAgent;
    }
    SocketConnection connection(fd, ::geteuid());
    // An agent that refuses this account answers so before it reads the
    // request: its answer is read even when the request could not be sent.
    connection.WriteLine(request);
    std::string pending;
    char chunk[4096];
    for (;;) {
        if (const auto code = TakeAnswerLines(pending, out)) {
            return *code;
        }
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            err << "cashdrawer-agent: " << address << ": the agent ended the answer before its end\n";
            return kExitNoAgent;
        }
        pending.append(chunk, static_cast<std::size_t>(got));
    }
}

} // namespace cashdrawer::agent
