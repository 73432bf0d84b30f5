#include "bridge/kick_guard.h"

#include <algorithm>

namespace cashdrawer::agent {
namespace {

// The origin cannot hold a space, so this joins the two unambiguously.
std::string KeyOf(const std::string& origin, const std::string& key) { return origin + " " + key; }

} // namespace

KickGuard::KeyUse KickGuard::Look(const std::string& origin, const std::string& key, const std::string& request,
                                  int64_t nowMicros, std::optional<HttpResponse>& answer) {
    Forget(nowMicros);
    const auto found = answers_.find(KeyOf(origin, key));
    if (found == answers_.end()) {
        return KeyUse::New;
    }
    if (found->second.request != request) {
        return KeyUse::OtherRequest;
    }
    if (!found->second.answer) {
        return KeyUse::InProgress;
    }
    answer = found->second.answer;
    return KeyUse::Answered;
}

int64_t KickGuard::WaitMicros(const std::string& drawer, int64_t nowMicros) const {
    const auto found = lastKick_.find(drawer);
    if (found == lastKick_.end()) {
        return 0;
    }
    const int64_t until = found->second + guardMicros_;
    return std::max<int64_t>(until - nowMicros, 0);
}

void KickGuard::Accept(const std::string& origin, const std::string& key, const std::string& request,
                       const std::string& drawer, int64_t nowMicros) {
    const std::string joined = KeyOf(origin, key);
    answers_[joined] = Kept{request, std::nullopt, nowMicros};
    byAge_.emplace_back(nowMicros, joined);
    lastKick_[drawer] = nowMicros;
}

void KickGuard::Answer(const std::string& origin, const std::string& key, const HttpResponse& answer) {
    if (const auto found = answers_.find(KeyOf(origin, key)); found != answers_.end()) {
        found->second.answer = answer;
    }
}

void KickGuard::Abandon(const std::string& origin, const std::string& key) { answers_.erase(KeyOf(origin, key)); }

void KickGuard::Forget(int64_t nowMicros) {
    while (!byAge_.empty() && nowMicros - byAge_.front().first >= kKeyLifeMicros) {
        const auto found = answers_.find(byAge_.front().second);
        // A key used again later is kept until its later use ages.
        if (found != answers_.end() && found->second.atMicros == byAge_.front().first) {
            answers_.erase(found);
        }
        byAge_.pop_front();
    }
}

} // namespace cashdrawer::agent
