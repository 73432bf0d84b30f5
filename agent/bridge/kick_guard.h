// What keeps a web till's retries from opening a drawer twice:
//
// - An idempotency key: the page names each kick it means; a retry with the
//   same key (a lost answer, a double click, a reconnect) within 10 minutes
//   gets the first answer again and kicks nothing.
// - A guard time per drawer: another kick of the same drawer within it,
//   under another key, is refused with the time to wait.
#pragma once

#include "bridge/bridge_http.h"

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>

namespace cashdrawer::agent {

class KickGuard {
public:
    static constexpr int64_t kKeyLifeMicros = 10 * 60 * 1'000'000LL;

    explicit KickGuard(int64_t guardMicros) : guardMicros_(guardMicros) {}

    // What an origin's key stands for now. `request` is the kick it names
    // (its drawer and its body, as one text): a key is one request, and the
    // same key with another (the other drawer, confirm added) is refused,
    // never answered with the first kick's answer.
    enum class KeyUse { New, InProgress, Answered, OtherRequest };
    KeyUse Look(const std::string& origin, const std::string& key, const std::string& request, int64_t nowMicros,
                std::optional<HttpResponse>& answer);

    // How long until the drawer may be kicked again; 0 when it may now.
    int64_t WaitMicros(const std::string& drawer, int64_t nowMicros) const;

    // A kick accepted now: its key is held, and the drawer's guard time
    // starts now, before the kick runs. A second kick that arrives while a
    // long confirmation of the first still runs is measured from here, not
    // from when its turn comes.
    void Accept(const std::string& origin, const std::string& key, const std::string& request,
                const std::string& drawer, int64_t nowMicros);
    // The accepted kick's answer, given again to every retry of its key.
    void Answer(const std::string& origin, const std::string& key, const HttpResponse& answer);
    // An accepted kick that ended with no answer (a failure inside the
    // agent): its key is free again.
    void Abandon(const std::string& origin, const std::string& key);

private:
    struct Kept {
        std::string request;
        std::optional<HttpResponse> answer; // none while the kick runs
        int64_t atMicros;
    };
    void Forget(int64_t nowMicros);

    int64_t guardMicros_;
    std::map<std::string, Kept> answers_;  // by origin and key
    std::deque<std::pair<int64_t, std::string>> byAge_; // for forgetting, oldest first
    std::map<std::string, int64_t> lastKick_; // by drawer: when its last kick was accepted
};

} // namespace cashdrawer::agent
