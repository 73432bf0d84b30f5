// Hands each journalled event to the open event streams. The agent calls
// Publish from its own thread, after the journal has the event; a stream
// subscribes before it reads the journal's past, so that no event falls
// between what it read and what it is handed (it drops repeats by seq).
#pragma once

#include "core/agent_mutex.h"
#include "core/event.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace cashdrawer::agent {

class EventHub {
public:
    using Subscriber = std::function<void(const JournalledEvent&)>;

    // Returns the subscription's number, for Unsubscribe. `lastPublished`,
    // when given, gets the seq of the last event published before it (0
    // before the first): a new stream starts right after it, and every
    // later event reaches it.
    uint64_t Subscribe(Subscriber subscriber, uint64_t* lastPublished = nullptr);
    void Unsubscribe(uint64_t id);
    // The journal's end before the first event is published: where a new
    // stream starts until then.
    void StartAt(uint64_t journalEnd);
    uint64_t LastPublished() const;
    void Publish(const JournalledEvent& event);
    std::size_t Subscribers() const;

private:
    mutable AgentMutex mutex_;
    uint64_t nextId_ = 1;
    uint64_t lastPublished_ = 0;
    std::map<uint64_t, Subscriber> subscribers_;
};

// One event as a Server-Sent Events message: its seq as the id (which a
// reconnecting browser sends back as Last-Event-ID), its kind as the event
// name, and its journal line as the data.
std::string SseMessage(const JournalledEvent& event);

} // namespace cashdrawer::agent
