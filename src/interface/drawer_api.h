// The integrator's functions beyond the four: waiting for a state,
// confirming a kick, the reason for a failure, a health check and the
// version. Written once over a session - the export lock, the library and
// each thread's last error - so the Windows exports and the tests run the
// same code.
#pragma once

#include "interface/drawer_library.h"
#include "platform/clock.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace cashdrawer {

// The last failure's words of each calling thread. A bounded store: a host
// that makes a new thread per call does not grow it for ever (the oldest
// thread's entry goes first).
class ThreadErrors {
public:
    static constexpr std::size_t kThreads = 64;

    void Set(uint64_t thread, std::string text);
    std::string Get(uint64_t thread) const;

private:
    std::vector<std::pair<uint64_t, std::string>> entries_; // most recent last
};

// What the functions need from their host.
class DrawerSession {
public:
    virtual ~DrawerSession() = default;
    // Runs `call` on the library under the export lock, then notes the
    // library's last failure as the calling thread's.
    virtual int Serialised(const std::function<int(DrawerLibrary&)>& call) = 0;
    // The calling thread's last failure; set it, for a -3 found before any call.
    virtual std::string LastError() = 0;
    virtual void SetLastError(std::string text) = 0;
    // The clock the waits pause on, outside the lock.
    virtual Clock& WaitClock() = 0;
};

// A session for a host that makes its calls from one thread: the library
// instance and its clock, no lock.
class DirectSession final : public DrawerSession {
public:
    DirectSession(DrawerLibrary& library, Clock& clock) : library_(library), clock_(clock) {}

    int Serialised(const std::function<int(DrawerLibrary&)>& call) override {
        const int result = call(library_);
        lastError_ = library_.LastFailure();
        return result;
    }
    std::string LastError() override { return lastError_; }
    void SetLastError(std::string text) override { lastError_ = std::move(text); }
    Clock& WaitClock() override { return clock_; }

private:
    DrawerLibrary& library_;
    Clock& clock_;
    std::string lastError_;
};

int WaitCashStatus(DrawerSession& session, const char* drawerId, int state, int timeoutMs);
int OpenCashConfirmed(DrawerSession& session, const char* drawerId, int timeoutMs);
int GetCashDrawerError(DrawerSession& session, char* buffer, int size);
int CheckCashDrawerHealth(DrawerSession& session, const char* drawerId, char* buffer, int size);
int GetCashDrawerVersion(DrawerSession& session, char* buffer, int size);

} // namespace cashdrawer
