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

    // The answer already given under this key by this origin, if any.
    std::optional<HttpResponse> Replay(const std::string& origin, const std::string& key, int64_t nowMicros);

    // How long until the drawer may be kicked again; 0 when it may now.
    int64_t WaitMicros(const std::string& drawer, int64_t nowMicros) const;

    // A kick made now: its answer, kept under the key, and the drawer's
    // guard time starts.
    void Record(const std::string& origin, const std::string& key, const std::string& drawer,
                const HttpResponse& answer, int64_t nowMicros);

private:
    struct Kept {
        HttpResponse answer;
        int64_t atMicros;
    };
    void Forget(int64_t nowMicros);

    int64_t guardMicros_;
    std::map<std::string, Kept> answers_;  // by origin and key
    std::deque<std::pair<int64_t, std::string>> byAge_; // for forgetting, oldest first
    std::map<std::string, int64_t> lastKick_; // by drawer
};

} // namespace cashdrawer::agent
