// The bridge's event stream: Server-Sent Events of every journalled event
// after the client's Last-Event-ID (from the journal, read on the worker
// pool), then the live ones as the agent publishes them, each seq once and
// in order; a comment line keeps a quiet stream alive, and a client that
// reads slower than the events come, or leaves, ends it.
#include "bridge/http_server_impl.h"

#include <array>
#include <deque>

namespace cashdrawer::agent {
namespace {

class EventStream : public std::enable_shared_from_this<EventStream> {
public:
    EventStream(beast::tcp_stream stream, ConnectionSlot slot, HttpServer::Impl& server)
        : stream_(std::move(stream)), server_(server), slot_(std::move(slot)) {}
    ~EventStream() {
        if (subscription_ != 0) {
            server_.hub.Unsubscribe(subscription_);
        }
    }

    void Start(const EventStreamStart& start) {
        const std::string& origin = start.origin;
        const uint64_t after = start.after;
        const bool resuming = start.resuming;
        std::weak_ptr<EventStream> weak = shared_from_this();
        uint64_t lastPublished = 0;
        subscription_ = server_.hub.Subscribe(
            [weak, executor = stream_.get_executor()](const JournalledEvent& event) {
                net::post(executor, [weak, seq = event.seq, message = SseMessage(event)] {
                    if (auto self = weak.lock()) {
                        self->OnLive(seq, message);
                    }
                });
            },
            &lastPublished);
        Enqueue("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
                "Access-Control-Allow-Origin: " + origin + "\r\nVary: Origin\r\nConnection: close\r\n\r\n"
                "retry: 1000\n\n");
        // The past from the journal, read on the pool; the subscription above
        // holds what is published meanwhile.
        net::post(*server_.workers, [self = shared_from_this(), after, resuming, lastPublished] {
            auto past = std::make_shared<std::vector<std::pair<uint64_t, std::string>>>();
            const auto collect = [&past](const JournalledEvent& event) { past->emplace_back(event.seq, SseMessage(event)); };
            uint64_t startAfter = after;
            if (!resuming) {
                // A new client: the events from its subscription on (its page
                // reads the drawers' state with the drawers call). Not the
                // journal's end as read now: events journalled meanwhile are
                // held for it, and would be dropped as old. (Before the
                // agent's first event, the journal's end is all there is.)
                startAfter = lastPublished != 0 ? lastPublished
                                                : self->server_.replay(UINT64_MAX, [](const JournalledEvent&) {});
            } else if (const uint64_t newest = self->server_.replay(after, collect); after > newest) {
                // A Last-Event-ID past the journal's end comes from another
                // journal (the agent set up anew): this one is given whole.
                past->clear();
                self->server_.replay(0, collect);
                startAfter = 0;
            }
            net::post(self->stream_.get_executor(), [self, past, startAfter] { self->OnReplayed(*past, startAfter); });
        });
        WatchForClose();
        ScheduleHeartbeat();
    }

private:
    void OnReplayed(const std::vector<std::pair<uint64_t, std::string>>& past, uint64_t startAfter) {
        lastQueued_ = startAfter;
        for (const auto& [seq, message] : past) {
            EnqueueEvent(seq, message);
        }
        replayed_ = true;
        // Taken whole: nothing stays held once the past is out.
        for (const auto& [seq, message] : std::exchange(held_, {})) {
            EnqueueEvent(seq, message);
        }
    }

    void OnLive(uint64_t seq, const std::string& message) {
        if (!replayed_) {
            held_.emplace_back(seq, message);
            return;
        }
        EnqueueEvent(seq, message);
    }

    // Each seq once and in order, whichever way it came.
    void EnqueueEvent(uint64_t seq, const std::string& message) {
        if (seq <= lastQueued_) {
            return;
        }
        lastQueued_ = seq;
        Enqueue(message);
    }

    void Enqueue(std::string message) {
        if (closed_) {
            return;
        }
        if (queue_.size() >= server_.options.maxQueuedEvents) {
            // A client that does not read: it reconnects with Last-Event-ID
            // and gets the rest from the journal.
            return EndStream();
        }
        queue_.push_back(std::move(message));
        if (!writing_) {
            WriteNext();
        }
    }

    void WriteNext() {
        if (queue_.empty() || closed_) {
            writing_ = false;
            return;
        }
        writing_ = true;
        stream_.expires_after(server_.options.idleTime); // a write the client never takes ends the stream
        net::async_write(stream_, net::buffer(queue_.front()), [self = shared_from_this()](beast::error_code error, std::size_t) {
            self->queue_.pop_front();
            if (error) {
                return self->EndStream();
            }
            self->WriteNext();
        });
    }

    // The client sends nothing on an event stream: a read that ends means
    // it has gone.
    void WatchForClose() {
        auto scratch = std::make_shared<std::array<char, 256>>();
        stream_.socket().async_read_some(net::buffer(*scratch), [self = shared_from_this(), scratch](beast::error_code error, std::size_t) {
            if (error) {
                return self->EndStream();
            }
            self->WatchForClose();
        });
    }

    void ScheduleHeartbeat() {
        heartbeat_.expires_after(server_.options.heartbeat);
        heartbeat_.async_wait([weak = std::weak_ptr<EventStream>(shared_from_this())](beast::error_code error) {
            auto self = weak.lock();
            // (No beat can show which of the three stopped it: a timer the
            // stream's end cancelled comes with an error, and a beat already
            // due as the stream ended finds Enqueue dropping it.)
            if (error || !self || self->closed_) {
                return;
            }
            self->Enqueue(": still here\n\n");
            self->ScheduleHeartbeat();
        });
    }

    void EndStream() {
        if (closed_) {
            return;
        }
        // (The flag spares the work of queueing and writing to a socket
        // already closed; such writes fail at once, so no client could see
        // the difference, and the stream goes when its handlers return.)
        closed_ = true;
        heartbeat_.cancel();
        // The subscription goes with the session (its destructor), once the
        // handlers still holding it have run; events meanwhile find it closed.
        Close();
    }

    // The close sends the peer its FIN and ends the pending handlers.
    void Close() { stream_.close(); }

    beast::tcp_stream stream_;
    HttpServer::Impl& server_;
    ConnectionSlot slot_;
    bool replayed_ = false;
    bool writing_ = false;
    bool closed_ = false;
    uint64_t subscription_ = 0;
    uint64_t lastQueued_ = 0;
    std::vector<std::pair<uint64_t, std::string>> held_;
    std::deque<std::string> queue_;
    net::steady_timer heartbeat_{stream_.get_executor()};
};

} // namespace

void StartEventStream(beast::tcp_stream stream, ConnectionSlot slot, HttpServer::Impl& server,
                      const EventStreamStart& start) {
    std::make_shared<EventStream>(std::move(stream), std::move(slot), server)->Start(start);
}

} // namespace cashdrawer::agent
