#include "fleet/fleet_news.h"

#include "journal/journal_line.h"

#include <algorithm>

namespace cashdrawer::agent {

void FleetNewsDesk::Apply(FleetPublisher& publisher, const std::vector<FleetNews>& news, int64_t unixNowMs) {
    for (const FleetNews& one : news) {
        switch (one.kind) {
        case FleetNews::Kind::Connected:
            publisher.Connected();
            lastLoggedCause_.clear();
            log_("cashdrawer-agent: fleet: connected to " + brokerUrl_ + "; events after seq " +
                 std::to_string(publisher.Status().ackedSeq) + " go now");
            break;
        case FleetNews::Kind::Refused:
        case FleetNews::Kind::Dropped: {
            if (one.cause != lastLoggedCause_) {
                log_("cashdrawer-agent: fleet: " + brokerUrl_ + ": " + one.cause + " (the next attempt in " +
                     std::to_string((one.retryInMs + 999) / 1000) + " s, then further apart, up to 30 s)");
                lastLoggedCause_ = one.cause;
            }
            const std::string next = FormatUtcMillis(unixNowMs + one.retryInMs);
            one.kind == FleetNews::Kind::Refused ? publisher.Refused(one.cause, next) : publisher.Dropped(one.cause, next);
            break;
        }
        case FleetNews::Kind::Acked: publisher.Acked(one.messageId); break;
        }
    }
}

bool AckedAmong(const std::vector<FleetNews>& news, int messageId) {
    return std::any_of(news.begin(), news.end(), [messageId](const FleetNews& one) {
        return one.kind == FleetNews::Kind::Acked && one.messageId == messageId;
    });
}

} // namespace cashdrawer::agent
