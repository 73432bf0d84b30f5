#include "app/serve.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <vector>

namespace cashdrawer::agent {
namespace {

// The signal handler's only act: a byte into a pipe that the wait polls.
int stopPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
    const char byte = 1;
    const int saved = errno;
    [[maybe_unused]] const ssize_t wrote = ::write(stopPipe[1], &byte, 1);
    errno = saved;
}

class PosixServeWait final : public ServeWait {
public:
    explicit PosixServeWait(bool console) : console_(console) {
        if (stopPipe[0] < 0 && ::pipe(stopPipe) == 0) {
            struct sigaction action {};
            action.sa_handler = OnStopSignal;
            sigemptyset(&action.sa_mask);
            ::sigaction(SIGINT, &action, nullptr);
            ::sigaction(SIGTERM, &action, nullptr);
        }
    }

    bool ReadsConsole() const override { return console_; }

    Woken Wait(uint32_t ms, std::string& line) override {
        if (TakeLine(line)) {
            return Woken::Line; // typed together with the one before
        }
        pollfd watched[2] = {{stopPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const nfds_t count = console_ ? 2 : 1;
        const int ready = ::poll(watched, count, static_cast<int>(ms));
        if (ready <= 0) {
            return Woken::TimeUp; // the time, or a signal's EINTR: the pipe says which next time
        }
        if (watched[0].revents != 0) {
            return Woken::Stop;
        }
        if (console_ && watched[1].revents != 0) {
            return ReadLine(line);
        }
        return Woken::TimeUp;
    }

private:
    Woken ReadLine(std::string& line) {
        char chunk[256];
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got <= 0) {
            // The end of the input (systemd gives /dev/null): serve on without
            // it, or every wait would end at once on a stdin forever readable.
            console_ = false;
            return Woken::TimeUp;
        }
        pending_.append(chunk, static_cast<std::size_t>(got));
        if (TakeLine(line)) {
            return Woken::Line;
        }
        if (pending_.size() > 4096) {
            pending_.clear(); // no command is this long
        }
        return Woken::TimeUp;
    }

    bool TakeLine(std::string& line) {
        const std::size_t end = pending_.find('\n');
        if (end == std::string::npos) {
            return false;
        }
        line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return true;
    }

    bool console_;
    std::string pending_;
};

} // namespace

std::unique_ptr<ServeWait> MakeSystemServeWait(bool console) { return std::make_unique<PosixServeWait>(console); }

struct BackgroundJobs::Running {
    std::vector<std::future<void>> jobs;
};

BackgroundJobs::BackgroundJobs() : running_(std::make_unique<Running>()) {}

BackgroundJobs::~BackgroundJobs() { Wait(); }

void BackgroundJobs::Run(std::function<void()> job) {
    // The jobs that are done are let go: a console open for weeks keeps none.
    std::erase_if(running_->jobs, [](const std::future<void>& done) {
        return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    });
    running_->jobs.push_back(std::async(std::launch::async, std::move(job)));
}

void BackgroundJobs::Wait() {
    for (std::future<void>& job : running_->jobs) {
        job.wait();
    }
    running_->jobs.clear();
}

std::size_t BackgroundJobs::Held() const { return running_->jobs.size(); }

} // namespace cashdrawer::agent
