// The browser bridge's rules: one call of the HTTP API in, one answer out.
// The HTTP server around it carries the bytes and enforces the sizes; the
// event stream is served beside it from the journal.
//
//   GET  /v1/health                  anyone: versions, and whether the asking origin is paired
//   POST /v1/pair                    {"code": "..."} from the terminal: a token for the Origin
//   GET  /v1/drawers, /v1/drawers/ID the drawers' state
//   POST /v1/drawers/ID/open         {"confirm": bool, "timeoutMs": N}, with an Idempotency-Key
//   GET  /v1/statistics              the counters from the journal
//   POST /v1/events/ticket           a single-use ticket for a plain EventSource
//
// Every call but health and pairing needs "Authorization: Bearer TOKEN"
// from the origin the token was issued to.
#pragma once

#include "core/agent_mutex.h"
#include "bridge/bridge_http.h"
#include "watch/drawer_board.h"
#include "bridge/kick_guard.h"
#include "bridge/pairing.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace cashdrawer::agent {

struct KickAnswer;
struct KickNote;

// What the bridge asks of the agent; the serve loop's side keeps it safe
// for the server's threads.
class BridgeBackend {
public:
    virtual ~BridgeBackend() = default;
    virtual std::vector<DrawerView> Drawers() = 0;
    virtual KickAnswer Kick(const std::string& drawer, const std::string& by, bool confirm, int timeoutMs,
                            const KickNote& note) = 0;
    virtual Json Statistics() = 0;
    virtual std::string LibraryVersion() = 0;
    // The fleet publisher's state, as the health tells it to any page:
    // {"publisher": "mqtt", "state": ..., "cause": ...}, or "off".
    virtual Json Fleet() { return Json{{"publisher", "off"}}; }
    // The journal's alarms not yet acknowledged (journal_alarms.h).
    virtual Json JournalAlarms() { return Json::array(); }
};

struct BridgeSettings {
    uint16_t port;        // the listening port, as Host must name it (SetPort once bound)
    uint32_t kickGuardMs; // a second kick of a drawer waits this long
};

inline constexpr std::size_t kMaxBodyBytes = 4096;
inline constexpr int kMaxConfirmTimeoutMs = 60000;
// A kick's note: a cashier's name or number, and a few words of why.
inline constexpr std::size_t kMaxCashierBytes = 64;
inline constexpr std::size_t kMaxKickReasonBytes = 256;
inline constexpr int64_t kTicketLifeMillis = 30 * 1000;

class Bridge {
public:
    // `nowMicros` is the steady time and `nowUnixMillis` the calendar time,
    // both from the agent's clock (virtual in the tests).
    Bridge(const BridgeSettings& settings, BridgeBackend& backend, PairingDesk& pairing,
           std::function<int64_t()> nowMicros, std::function<int64_t()> nowUnixMillis);

    HttpResponse Handle(const HttpRequest& request);

    // The port the server bound, for the Host check (before serving).
    void SetPort(uint16_t port) { settings_.port = port; }

    // For /v1/events?ticket=: the origin the ticket was made for, once.
    std::optional<std::string> TakeTicket(const std::string& ticket);

    // The origin a request is allowed for, or the refusal to send: the Host,
    // the Origin, and the token bound to that Origin.
    std::optional<HttpResponse> Authorize(const HttpRequest& request, std::string& origin);

    // A preflight or an answer to `origin`, with its CORS headers.
    static void AllowOrigin(HttpResponse& response, const std::string& origin);

private:
    HttpResponse Preflight(const HttpRequest& request);
    HttpResponse Health(const HttpRequest& request);
    HttpResponse Pair(const HttpRequest& request);
    HttpResponse OpenDrawer(const HttpRequest& request, const std::string& origin, const std::string& drawer);
    HttpResponse IssueTicket(const std::string& origin);
    void ForgetExpiredTickets(int64_t nowUnixMillis);

    BridgeSettings settings_;
    BridgeBackend& backend_;
    PairingDesk& pairing_;
    std::function<int64_t()> nowMicros_;
    std::function<int64_t()> nowUnixMillis_;
    AgentMutex mutex_;     // the pairing desk, the kick guard and the tickets
    AgentMutex kickMutex_; // one kick through the bridge at a time
    KickGuard kickGuard_;
    std::map<std::string, std::pair<std::string, int64_t>> tickets_; // ticket: origin, expiry
};

} // namespace cashdrawer::agent
