#include "app/serve.h"
#include "app/service.h"

#include "os/win32_error.h"

namespace cashdrawer::agent {
namespace {

HANDLE ConsoleStopEvent() {
    static HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

BOOL WINAPI OnConsoleControl(DWORD) {
    ::SetEvent(ConsoleStopEvent());
    return TRUE; // handled: the serve loop journals the stop and returns
}

// Waits on the stop event: the console's Ctrl+C, or the service's stop.
// Console commands are read on POSIX systems only; a Windows till kicks
// through the bridge.
class Win32ServeWait final : public ServeWait {
public:
    explicit Win32ServeWait(HANDLE stop) : stop_(stop) {}
    Woken Wait(uint32_t ms, std::string&) override {
        return ::WaitForSingleObject(stop_, ms) == WAIT_OBJECT_0 ? Woken::Stop : Woken::TimeUp;
    }

private:
    HANDLE stop_;
};

} // namespace

std::unique_ptr<ServeWait> MakeSystemServeWait(bool) {
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    return std::make_unique<Win32ServeWait>(ConsoleStopEvent());
}

std::unique_ptr<ServeWait> MakeServiceServeWait(void* stopEvent) {
    return std::make_unique<Win32ServeWait>(static_cast<HANDLE>(stopEvent));
}

// The Windows agent reads no console, so no kick is typed at it: a job runs
// where it is asked for. (Debian's mingw, the win32 thread model, has no
// std::async either.)
struct BackgroundJobs::Running {};

BackgroundJobs::BackgroundJobs() = default;

BackgroundJobs::~BackgroundJobs() = default;

void BackgroundJobs::Run(std::function<void()> job) { job(); }

void BackgroundJobs::Wait() {}

std::size_t BackgroundJobs::Held() const { return 0; }

} // namespace cashdrawer::agent
