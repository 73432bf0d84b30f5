#include "watch/event_hub.h"

#include <algorithm>

namespace cashdrawer::agent {

uint64_t EventHub::Subscribe(Subscriber subscriber, uint64_t* lastPublished) {
    std::lock_guard lock(mutex_);
    if (lastPublished != nullptr) {
        *lastPublished = lastPublished_;
    }
    const uint64_t id = nextId_++;
    subscribers_.emplace(id, std::move(subscriber));
    return id;
}

void EventHub::Unsubscribe(uint64_t id) {
    std::lock_guard lock(mutex_);
    subscribers_.erase(id);
}

void EventHub::StartAt(uint64_t journalEnd) {
    std::lock_guard lock(mutex_);
    lastPublished_ = std::max(lastPublished_, journalEnd);
}

uint64_t EventHub::LastPublished() const {
    std::lock_guard lock(mutex_);
    return lastPublished_;
}

void EventHub::Publish(const JournalledEvent& event) {
    std::lock_guard lock(mutex_);
    lastPublished_ = event.seq;
    for (const auto& [id, subscriber] : subscribers_) {
        subscriber(event);
    }
}

std::size_t EventHub::Subscribers() const {
    std::lock_guard lock(mutex_);
    return subscribers_.size();
}

std::string SseMessage(const JournalledEvent& event) {
    // A journal line is one line of JSON: it holds no line end that would
    // end the data field early.
    return "id: " + std::to_string(event.seq) + "\nevent: " + event.kind + "\ndata: " + event.line + "\n\n";
}

} // namespace cashdrawer::agent
