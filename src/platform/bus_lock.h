// A claim on the Super I/O chip's index/data ports shared with other
// programs. Hardware-monitoring tools read sensors through the same pair;
// a configuration-mode sequence split by one of their accesses would write
// the wrong register, so each of our sequences holds the claim whole.
#pragma once

#include <memory>
#include <string>

namespace cashdrawer {

class SharedBusLock {
public:
    virtual ~SharedBusLock() = default;
    // Waits a bounded time; false when the claim could not be had, in
    // which case the caller goes on without it.
    virtual bool Acquire() = 0;
    virtual void Release() = 0;
    // In words, why the last Acquire gave no claim.
    virtual std::string WhyNotHeld() const { return "held by another program for more than 500 ms"; }
};

// Holds the claim for a scope, if it could be had.
class BusClaim {
public:
    explicit BusClaim(SharedBusLock& lock) : lock_(lock), held_(lock.Acquire()) {}
    ~BusClaim() {
        if (held_) {
            lock_.Release();
        }
    }
    BusClaim(const BusClaim&) = delete;
    BusClaim& operator=(const BusClaim&) = delete;
    bool Held() const { return held_; }

private:
    SharedBusLock& lock_;
    bool held_;
};

// The system-wide claim of the operating system the library was built for;
// its handle is released when it is destroyed.
std::unique_ptr<SharedBusLock> MakeSystemSuperIoBusLock();

} // namespace cashdrawer
