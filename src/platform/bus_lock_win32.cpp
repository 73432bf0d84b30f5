#include "platform/bus_lock.h"

#include <windows.h>

namespace cashdrawer {
namespace {

// The name the sensor-monitoring tools agree on for the ISA bus ports.
constexpr wchar_t kBusMutexName[] = L"Global\\Access_ISABUS.HTP.Method";
// A sensor read holds the ports for microseconds; if the claim is not ours
// within this time, the holder is stuck and the drawer must not wait on it.
constexpr DWORD kMaxWaitMs = 500;

class Win32BusLock final : public SharedBusLock {
public:
    Win32BusLock() = default;
    ~Win32BusLock() override {
        if (mutex_ != nullptr) {
            ::CloseHandle(mutex_);
        }
    }
    Win32BusLock(const Win32BusLock&) = delete;
    Win32BusLock& operator=(const Win32BusLock&) = delete;

    bool Acquire() override {
        if (mutex_ == nullptr) {
            // Opens the mutex if another program made it. Kept until our DLL
            // is unloaded; retried while it cannot be had.
            mutex_ = ::CreateMutexW(nullptr, FALSE, kBusMutexName);
            if (mutex_ == nullptr) {
                return false;
            }
        }
        const DWORD waited = ::WaitForSingleObject(mutex_, kMaxWaitMs);
        // An abandoned mutex is ours now: its holder died mid-sequence.
        return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    }

    void Release() override { ::ReleaseMutex(mutex_); }

private:
    HANDLE mutex_ = nullptr;
};

} // namespace

std::unique_ptr<SharedBusLock> MakeSystemSuperIoBusLock() { return std::make_unique<Win32BusLock>(); }

} // namespace cashdrawer
