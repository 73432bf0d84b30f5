#include "bridge/bridge.h"

#include "core/json_text.h"

#include "watch/agent.h"
#include "bridge/bridge_access.h"
#include "os/random.h"

#include <algorithm>

#include "cash_drawer_version.h"

namespace cashdrawer::agent {
namespace {

constexpr const char* kAllowedMethods = "GET, POST, OPTIONS";
constexpr const char* kAllowedHeaders = "Authorization, Content-Type, Idempotency-Key, Last-Event-ID";

// Seconds for Retry-After, rounded up: a client that waits that long is
// never refused again for the same reason.
std::string RetryAfterSeconds(int64_t micros) { return std::to_string((micros + 999'999) / 1'000'000); }

bool IsJson(const HttpRequest& request) {
    // "application/json", with parameters or not ("; charset=utf-8").
    constexpr std::string_view kJson = "application/json";
    const std::string_view type = request.Header("content-type");
    if (!type.starts_with(kJson)) {
        return false;
    }
    const std::string_view rest = type.substr(kJson.size());
    return rest.empty() || rest.front() == ';' || rest.front() == ' ';
}

// "/v1/drawers/ID" and "/v1/drawers/ID/open": the ID, and what follows it.
bool SplitDrawerPath(const std::string& path, std::string& id, std::string& rest) {
    static const std::string kPrefix = "/v1/drawers/";
    if (!path.starts_with(kPrefix)) {
        return false;
    }
    const std::string tail = path.substr(kPrefix.size());
    const std::size_t slash = tail.find('/');
    id = tail.substr(0, slash);
    rest = slash == std::string::npos ? "" : tail.substr(slash);
    return !id.empty();
}

// What a kick's body may say. Every field is optional; a field the agent
// does not know is refused by name, so a page that misspells "cashier" learns
// it at once instead of finding the journal without it.
struct KickBody {
    bool confirm = false;
    int64_t timeoutMs = 5000;
    KickNote note;
};

// A note is text for people: bounded, and without control characters that
// would break a line in the system log or a technician's console.
bool IsNoteText(const Json& value, std::size_t maxBytes) {
    if (!value.is_string()) {
        return false;
    }
    const std::string& text = value.get_ref<const std::string&>();
    return !text.empty() && text.size() <= maxBytes &&
           std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// The fault in words, or empty when the body is a kick. The parser has
// already refused text that is not UTF-8.
std::string ReadKickBody(const Json& body, KickBody& kick) {
    static const std::string kShape = "a kick takes {\"confirm\": true|false, \"timeoutMs\": N, \"cashier\": \"...\", "
                                      "\"reason\": \"...\"}, each optional";
    if (!body.is_object()) {
        return kShape;
    }
    std::string unknown;
    for (const auto& [name, value] : body.items()) {
        if (name == "confirm" && value.is_boolean()) {
            kick.confirm = value.get<bool>();
        } else if (name == "timeoutMs" && value.is_number_integer()) {
            kick.timeoutMs = value.get<int64_t>();
            if (kick.timeoutMs < 0 || kick.timeoutMs > kMaxConfirmTimeoutMs) {
                return "timeoutMs runs from 0 to " + std::to_string(kMaxConfirmTimeoutMs);
            }
        } else if (name == "cashier" && IsNoteText(value, kMaxCashierBytes)) {
            kick.note.cashier = value.get<std::string>();
        } else if (name == "reason" && IsNoteText(value, kMaxKickReasonBytes)) {
            kick.note.reason = value.get<std::string>();
        } else if (name == "cashier" || name == "reason") {
            return name + " is text of 1 to " +
                   std::to_string(name == "cashier" ? kMaxCashierBytes : kMaxKickReasonBytes) +
                   " bytes of UTF-8, without control characters";
        } else if (name == "confirm" || name == "timeoutMs") {
            return kShape;
        } else {
            unknown += (unknown.empty() ? "" : ", ") + Json(name).dump();
        }
    }
    return unknown.empty() ? "" : "a kick knows no field " + unknown + ": " + kShape;
}

} // namespace

Bridge::Bridge(const BridgeSettings& settings, BridgeBackend& backend, PairingDesk& pairing,
               std::function<int64_t()> nowMicros, std::function<int64_t()> nowUnixMillis)
    : settings_(settings), backend_(backend), pairing_(pairing), nowMicros_(std::move(nowMicros)),
      nowUnixMillis_(std::move(nowUnixMillis)), kickGuard_(int64_t{settings.kickGuardMs} * 1000) {}

void Bridge::AllowOrigin(HttpResponse& response, const std::string& origin) {
    response.SetHeader("Access-Control-Allow-Origin", origin);
    response.SetHeader("Vary", "Origin");
    // A page's script sees only the simple headers of a cross-origin answer
    // unless these are named: the wait after a 429 and the mark of a replay.
    response.SetHeader("Access-Control-Expose-Headers", "Retry-After, Idempotent-Replayed");
}

HttpResponse Bridge::Handle(const HttpRequest& request) {
    if (!IsLoopbackHost(request.Header("host"), settings_.port)) {
        // For the page that reached the agent under another name, which
        // reads it as its own origin; no other page is let read it.
        return HttpResponse::Refusal(403, "the Host header must name this terminal's loopback address and port");
    }
    if (request.body.size() > kMaxBodyBytes) {
        return HttpResponse::Refusal(413, "a body may hold " + std::to_string(kMaxBodyBytes) + " bytes at most");
    }
    if (request.method == "OPTIONS") {
        return Preflight(request);
    }
    if (request.path == "/v1/health") {
        return request.method == "GET" ? Health(request) : HttpResponse::Refusal(405, "health is read with GET");
    }
    if (request.path == "/v1/pair") {
        return request.method == "POST" ? Pair(request) : HttpResponse::Refusal(405, "pairing is a POST");
    }
    std::string origin;
    if (auto refusal = Authorize(request, origin)) {
        return *refusal;
    }
    HttpResponse response;
    std::string id, rest;
    if (request.path == "/v1/drawers" && request.method == "GET") {
        Json list = Json::array();
        for (const DrawerView& view : backend_.Drawers()) {
            list.push_back(view.ToJson());
        }
        response = HttpResponse::JsonBody(200, Json{{"drawers", list}});
    } else if (request.path == "/v1/statistics" && request.method == "GET") {
        response = HttpResponse::JsonBody(200, backend_.Statistics());
    } else if (request.path == "/v1/events/ticket" && request.method == "POST") {
        response = IssueTicket(origin);
    } else if (SplitDrawerPath(request.path, id, rest) && (rest.empty() || rest == "/open")) {
        std::optional<DrawerView> view;
        for (DrawerView& each : backend_.Drawers()) {
            if (each.id == id) {
                view = std::move(each);
            }
        }
        if (!view) {
            response = HttpResponse::Refusal(404, id + " is not a drawer this agent watches");
        } else if (rest.empty() && request.method == "GET") {
            response = HttpResponse::JsonBody(200, view->ToJson());
        } else if (rest == "/open" && request.method == "POST") {
            response = OpenDrawer(request, origin, id);
        } else {
            response = HttpResponse::Refusal(405, request.method + " is not served on " + request.path);
        }
    } else {
        response = HttpResponse::Refusal(404, request.method + " " + request.path + " is no call of this API");
    }
    AllowOrigin(response, origin);
    return response;
}

std::optional<HttpResponse> Bridge::Authorize(const HttpRequest& request, std::string& origin) {
    const auto canonical = CanonicalOrigin(request.Header("origin"));
    if (!canonical) {
        return HttpResponse::Refusal(403, "the request carries no Origin this agent can pair with");
    }
    const std::string& authorization = request.Header("authorization");
    static const std::string kBearer = "Bearer ";
    if (!authorization.starts_with(kBearer)) {
        return HttpResponse::Refusal(401, "a token is needed: Authorization: Bearer TOKEN, from pairing");
    }
    std::optional<std::string> issuedTo;
    {
        std::lock_guard lock(mutex_);
        issuedTo = pairing_.OriginOf(authorization.substr(kBearer.size()));
    }
    if (!issuedTo) {
        return HttpResponse::Refusal(401, "the token is unknown or was revoked: pair again");
    }
    if (*issuedTo != *canonical) {
        return HttpResponse::Refusal(403, "the token was issued to another origin");
    }
    origin = *canonical;
    return std::nullopt;
}

HttpResponse Bridge::Preflight(const HttpRequest& request) {
    HttpResponse response;
    response.status = 204;
    const auto origin = CanonicalOrigin(request.Header("origin"));
    bool paired = false;
    if (origin) {
        std::lock_guard lock(mutex_);
        paired = pairing_.IsPaired(*origin);
    }
    if (request.path == "/v1/health") {
        response.SetHeader("Access-Control-Allow-Origin", "*");
    } else if (origin && (request.path == "/v1/pair" || paired)) {
        // A page not yet paired may ask only to pair.
        AllowOrigin(response, *origin);
    } else {
        return HttpResponse::Refusal(403, "this origin is not paired with the agent");
    }
    response.SetHeader("Access-Control-Allow-Methods", kAllowedMethods);
    response.SetHeader("Access-Control-Allow-Headers", kAllowedHeaders);
    response.SetHeader("Access-Control-Max-Age", "600");
    // Chrome's Local Network Access asks before a public page reaches the
    // loopback address; this header is the agent's consent to be reached.
    if (request.Header("access-control-request-private-network") == "true") {
        response.SetHeader("Access-Control-Allow-Private-Network", "true");
    }
    return response;
}

HttpResponse Bridge::Health(const HttpRequest& request) {
    const auto origin = CanonicalOrigin(request.Header("origin"));
    bool paired = false;
    if (origin) {
        std::lock_guard lock(mutex_);
        paired = pairing_.IsPaired(*origin);
    }
    HttpResponse response = HttpResponse::JsonBody(200, Json{{"agent", "cashdrawer-agent"},
                                                             {"version", CASH_DRAWER_VERSION},
                                                             {"library", backend_.LibraryVersion()},
                                                             {"api", 1},
                                                             {"paired", paired},
                                                             {"fleet", backend_.Fleet()},
                                                             {"alarms", backend_.JournalAlarms()}});
    response.SetHeader("Access-Control-Allow-Origin", "*");
    return response;
}

HttpResponse Bridge::Pair(const HttpRequest& request) {
    const auto origin = CanonicalOrigin(request.Header("origin"));
    if (!origin) {
        return HttpResponse::Refusal(403, "pairing binds a token to the page's Origin, and the request has none");
    }
    const Json body = ParseJsonText(request.body);
    HttpResponse response;
    if (!IsJson(request) || !body.is_object() || !body.contains("code") || !body["code"].is_string()) {
        response = HttpResponse::Refusal(400, "pairing takes {\"code\": \"...\"} as application/json");
    } else {
        PairingDesk::Attempt attempt;
        {
            std::lock_guard lock(mutex_);
            attempt = pairing_.Pair(*origin, body["code"].get<std::string>(), nowUnixMillis_(), nowMicros_() / 1000);
        }
        switch (attempt.outcome) {
        case PairingDesk::Outcome::Paired:
            response = HttpResponse::JsonBody(200, Json{{"token", attempt.token}, {"origin", *origin}});
            break;
        case PairingDesk::Outcome::WrongCode:
            response = HttpResponse::Refusal(403, "the code is wrong or expired: show a fresh one on the terminal");
            break;
        case PairingDesk::Outcome::LockedOut:
            response = HttpResponse::Refusal(429, "too many wrong codes: pairing is locked for a minute");
            response.SetHeader("Retry-After", RetryAfterSeconds(attempt.retryAfterMillis * 1000));
            break;
        case PairingDesk::Outcome::NotStored:
            response = HttpResponse::Refusal(500, "the pairing could not be stored: " + attempt.error);
            break;
        }
    }
    AllowOrigin(response, *origin);
    return response;
}

namespace {

HttpResponse Replayed(HttpResponse answer) {
    answer.SetHeader("Idempotent-Replayed", "true");
    return answer;
}

} // namespace

HttpResponse Bridge::OpenDrawer(const HttpRequest& request, const std::string& origin, const std::string& drawer) {
    // A form or a plain fetch can POST text/plain across sites without a
    // preflight; JSON cannot, so only a page the browser let through kicks.
    if (!IsJson(request)) {
        return HttpResponse::Refusal(415, "a kick is a POST of application/json");
    }
    const std::string& key = request.Header("idempotency-key");
    if (key.empty() || key.size() > 128) {
        return HttpResponse::Refusal(400, "a kick needs an Idempotency-Key header of 1 to 128 characters");
    }
    const Json body = request.body.empty() ? Json::object() : ParseJsonText(request.body);
    KickBody kick;
    if (const std::string fault = ReadKickBody(body, kick); !fault.empty()) {
        return HttpResponse::Refusal(400, fault);
    }
    const bool confirm = kick.confirm;
    const int64_t timeoutMs = kick.timeoutMs;
    bool accepted = false;
    // The request a key stands for: the drawer and what the body asks.
    const std::string asked = drawer + " " +
                              Json{{"confirm", confirm}, {"timeoutMs", timeoutMs}, {"cashier", kick.note.cashier},
                                   {"reason", kick.note.reason}}
                                  .dump();
    {
        std::lock_guard guard(mutex_);
        std::optional<HttpResponse> answer;
        switch (kickGuard_.Look(origin, key, asked, nowMicros_(), answer)) {
        case KickGuard::KeyUse::Answered: return Replayed(*answer);
        case KickGuard::KeyUse::OtherRequest:
            return HttpResponse::Refusal(422, "this Idempotency-Key was used for another kick (another drawer or "
                                              "body): a new kick needs a new key");
        case KickGuard::KeyUse::InProgress: break; // the retry waits for the first kick's answer, below
        case KickGuard::KeyUse::New:
            if (const int64_t wait = kickGuard_.WaitMicros(drawer, nowMicros_()); wait > 0) {
                HttpResponse refusal = HttpResponse::Refusal(429, drawer + " was kicked a moment ago");
                refusal.SetHeader("Retry-After", RetryAfterSeconds(wait));
                return refusal;
            }
            kickGuard_.Accept(origin, key, asked, drawer, nowMicros_());
            accepted = true;
            break;
        }
    }
    // One kick at a time. A retry of a kick still at work waits here for
    // it, then gets its answer.
    std::lock_guard lock(kickMutex_);
    if (!accepted) {
        std::lock_guard guard(mutex_);
        std::optional<HttpResponse> answer;
        if (kickGuard_.Look(origin, key, asked, nowMicros_(), answer) == KickGuard::KeyUse::Answered) {
            return Replayed(*answer);
        }
        return HttpResponse::Refusal(409, "the first kick under this Idempotency-Key ended without an answer: "
                                          "look at the drawer's state before kicking again");
    }
    // An exception from the agent (answered 500 by the server) frees the key.
    struct AbandonUnlessAnswered {
        Bridge& bridge;
        const std::string& origin;
        const std::string& key;
        bool answered = false;
        ~AbandonUnlessAnswered() {
            if (!answered) {
                std::lock_guard guard(bridge.mutex_);
                bridge.kickGuard_.Abandon(origin, key);
            }
        }
    } abandon{*this, origin, key};
    const KickAnswer answered = backend_.Kick(drawer, origin, confirm, static_cast<int>(timeoutMs), kick.note);
    Json answer{{"drawer", drawer}, {"confirm", confirm}, {"result", answered.result}, {"outcome", answered.outcome}};
    if (!answered.reason.empty()) {
        answer["reason"] = answered.reason;
    }
    answer["seq"] = answered.seq != 0 ? Json(answered.seq) : Json(nullptr);
    HttpResponse response = HttpResponse::JsonBody(200, answer);
    std::lock_guard guard(mutex_);
    kickGuard_.Answer(origin, key, response);
    abandon.answered = true;
    return response;
}

// Called with the mutex held. An expired ticket is gone: no page can use
// it, and none is kept past its time.
void Bridge::ForgetExpiredTickets(int64_t nowUnixMillis) {
    std::erase_if(tickets_, [nowUnixMillis](const auto& entry) { return entry.second.second <= nowUnixMillis; });
}

HttpResponse Bridge::IssueTicket(const std::string& origin) {
    const std::string ticket = RandomHex(16);
    std::lock_guard lock(mutex_);
    const int64_t now = nowUnixMillis_();
    ForgetExpiredTickets(now);
    tickets_[ticket] = {origin, now + kTicketLifeMillis};
    return HttpResponse::JsonBody(200, Json{{"ticket", ticket}, {"expiresInMs", kTicketLifeMillis}});
}

std::optional<std::string> Bridge::TakeTicket(const std::string& ticket) {
    std::lock_guard lock(mutex_);
    ForgetExpiredTickets(nowUnixMillis_());
    const auto found = tickets_.find(ticket);
    if (found == tickets_.end()) {
        return std::nullopt;
    }
    std::string origin = found->second.first;
    tickets_.erase(found);
    return origin;
}

} // namespace cashdrawer::agent
