#include "interface/drawer_api.h"

#include "cash_drawer.h"
#include "cash_drawer_version.h"
#include "interface/caller_buffer.h"
#include "interface/public_result.h"
#include "interface/wait_for_state.h"

#include <algorithm>

namespace cashdrawer {

void ThreadErrors::Set(uint64_t thread, std::string text) {
    const auto found = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.first == thread; });
    if (found != entries_.end()) {
        entries_.erase(found);
    } else if (entries_.size() >= kThreads) {
        entries_.erase(entries_.begin());
    }
    entries_.emplace_back(thread, std::move(text));
}

std::string ThreadErrors::Get(uint64_t thread) const {
    const auto found = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.first == thread; });
    return found != entries_.end() ? found->second : std::string();
}

namespace {

int BadArgument(DrawerSession& session, std::string why) {
    session.SetLastError(std::move(why));
    return CASH_DRAWER_BAD_ARGUMENT;
}

int ReadState(DrawerSession& session, const char* drawerId) {
    return session.Serialised([drawerId](DrawerLibrary& library) { return library.GetCashStatus(drawerId); });
}

// The wait's reads, each a call of its own under the lock: other threads'
// calls run between them.
int WaitFor(DrawerSession& session, const char* drawerId, int timeoutMs, const std::function<bool(int)>& wanted) {
    return WaitForState(session.WaitClock(), static_cast<uint32_t>(timeoutMs),
                        [&] { return ReadState(session, drawerId); }, wanted);
}

} // namespace

int WaitCashStatus(DrawerSession& session, const char* drawerId, int state, int timeoutMs) {
    if (state != CASH_DRAWER_STATE_0 && state != CASH_DRAWER_STATE_1) {
        return BadArgument(session, "WaitCashStatus waits for state 0 or 1, not " + std::to_string(state));
    }
    if (timeoutMs < 0) {
        return BadArgument(session, "WaitCashStatus was given a negative time: " + std::to_string(timeoutMs) + " ms");
    }
    return WaitFor(session, drawerId, timeoutMs, [state](int read) { return read == state; });
}

int OpenCashConfirmed(DrawerSession& session, const char* drawerId, int timeoutMs) {
    if (timeoutMs < 0) {
        return BadArgument(session,
                           "OpenCashConfirmed was given a negative time: " + std::to_string(timeoutMs) + " ms");
    }
    // Without a state before the kick there is nothing to confirm against:
    // no kick then.
    const int before = ReadState(session, drawerId);
    if (before < 0) {
        return before;
    }
    const int kicked = session.Serialised([drawerId](DrawerLibrary& library) { return library.OpenCash(drawerId); });
    if (kicked != CASH_DRAWER_KICKED) {
        return kicked;
    }
    const int confirmed = WaitFor(session, drawerId, timeoutMs, [before](int read) { return read != before; });
    if (confirmed != CASH_DRAWER_UNREACHABLE) {
        return confirmed;
    }
    // The kick went out: -2 would tell the caller it did not. A sensor that
    // cannot be read after it confirms nothing, and the reason says why.
    session.SetLastError("the kick ran, but the drawer's sensor could not be read after it: " + session.LastError());
    return CASH_DRAWER_TIMED_OUT;
}

int GetCashDrawerError(DrawerSession& session, char* buffer, int size) {
    const int length = CopyToCallerBuffer(session.LastError(), buffer, size);
    if (length == CASH_DRAWER_BAD_ARGUMENT) {
        // Its own -3 is the last failure now, as for any other function.
        return BadArgument(session, "GetCashDrawerError was given a null buffer or a negative size");
    }
    return length;
}

int CheckCashDrawerHealth(DrawerSession& session, const char* drawerId, char* buffer, int size) {
    if (size < 0 || (buffer == nullptr && size > 0)) {
        return BadArgument(session, "CheckCashDrawerHealth was given a null buffer or a negative size");
    }
    std::string report;
    const int result = session.Serialised([&](DrawerLibrary& library) {
        const Result health = library.CheckHealth(drawerId, report);
        return health == Result::Ok ? 1 : PublicResult(health);
    });
    if (report.empty()) {
        // An unknown identifier: no report, and an empty text where the
        // caller looks for one.
        static_cast<void>(CopyToCallerBuffer({}, buffer, size));
        return result;
    }
    const int length = CopyToCallerBuffer(report, buffer, size);
    // A report that does not fit says how much room it needs.
    return length >= size ? length : result;
}

int GetCashDrawerVersion(DrawerSession& session, char* buffer, int size) {
    const int length = CopyToCallerBuffer(CASH_DRAWER_VERSION, buffer, size);
    if (length == CASH_DRAWER_BAD_ARGUMENT) {
        return BadArgument(session, "GetCashDrawerVersion was given a null buffer or a negative size");
    }
    session.SetLastError({});
    return length;
}

} // namespace cashdrawer
