// The bridge's event stream: Server-Sent Events of every journalled event
// after the client's Last-Event-ID, then the live ones as the agent
// publishes them, each seq once and in order; a comment line keeps a quiet
// stream alive, and a client that leaves, or takes no write for the idle
// time, ends it.
//
// Once it knows where to start, a stream is in one of two modes. Reading: it reads the journal after the
// last event it queued, a batch at a time on the server's reading threads,
// and the next batch only once the client has taken most of the last; the
// live events meanwhile are dropped, since the journal has each before it
// is published. Live: it queues each event as it is published. A stream
// behind (a live event that does not follow, a queue full of live events)
// reads again; a stream at the journal's end goes live. So a stream may
// start any distance behind, and holds a batch or a queue at most.
#include "bridge/http_server_impl.h"

#include <array>
#include <deque>

namespace cashdrawer::agent {
namespace {

// Events read from the journal at a time, and the most queued before the
// next read (a few hundred lines: tens of kilobytes).
constexpr std::size_t kReadBatch = 256;

class EventStream : public std::enable_shared_from_this<EventStream> {
public:
    EventStream(beast::tcp_stream stream, ConnectionSlot slot, HttpServer::Impl& server)
        : stream_(std::move(stream)), server_(server), slot_(std::move(slot)), reader_(server.readers()) {}
    ~EventStream() {
        if (subscription_ != 0) {
            server_.hub.Unsubscribe(subscription_);
        }
    }

    void Start(const EventStreamStart& start) {
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
                "Access-Control-Allow-Origin: " + start.origin + "\r\nVary: Origin\r\nConnection: close\r\n\r\n"
                "retry: 1000\n\n");
        WatchForClose();
        ScheduleHeartbeat();
        if (!start.resuming) {
            // A new client: the events from its subscription on (its page
            // reads the drawers' state with the drawers call). The hub
            // counts from the journal's end at the agent's start; the
            // journal says whether more came since.
            lastQueued_ = lastPublished;
            return ReadOn();
        }
        // A Last-Event-ID past the journal's end comes from another journal
        // (the agent set up anew): this one is given whole.
        reading_ = true;
        net::post(*server_.journalReaders, [self = shared_from_this(), after = start.after] {
            const uint64_t newest = self->reader_->NewestSeq();
            net::post(self->stream_.get_executor(), [self, from = after > newest ? 0 : after] {
                self->reading_ = false;
                self->lastQueued_ = from;
                self->ReadOn();
            });
        });
    }

private:
    // The next batch from the journal, after the last event queued.
    void ReadOn() {
        mode_ = Mode::Reading;
        if (reading_ || closed_ || endOnceWritten_) {
            return;
        }
        if (queue_.size() >= kReadBatch) {
            return; // the client has yet to take what is queued; WriteNext reads on
        }
        reading_ = true;
        net::post(*server_.journalReaders, [self = shared_from_this(), after = lastQueued_] {
            auto batch = std::make_shared<std::vector<std::pair<uint64_t, std::string>>>();
            self->reader_->Read(after, kReadBatch, [&batch](const JournalledEvent& event) {
                batch->emplace_back(event.seq, SseMessage(event));
            });
            std::string problem = batch->size() < kReadBatch ? self->reader_->Problem() : std::string();
            net::post(self->stream_.get_executor(), [self, batch, problem = std::move(problem)] {
                self->OnBatch(*batch, problem);
            });
        });
    }

    void OnBatch(const std::vector<std::pair<uint64_t, std::string>>& batch, const std::string& problem) {
        // (Still reading while the batch is queued: the writes it starts
        // must not read on before this batch's end is weighed below.)
        for (const auto& [seq, message] : batch) {
            EnqueueEvent(seq, message);
        }
        reading_ = false;
        if (closed_) {
            return;
        }
        if (!problem.empty()) {
            // Past a line that is not as written nothing can be promised in
            // order: the stream says why and ends once the client has all
            // before it (verify and the alarms tell the technician).
            endOnceWritten_ = true;
            Enqueue(": the journal cannot be read past seq " + std::to_string(lastQueued_) + ": " + problem + "\n\n");
            return;
        }
        if (batch.size() == kReadBatch) {
            return ReadOn();
        }
        GoLiveOrReadOn(!batch.empty());
    }

    // At the journal's end as last read: live, unless an event was
    // published since that read (it was dropped: the journal has it). The
    // hub's count and the delivery of an event are one step under its
    // lock, so an event it counts later reaches this stream live.
    void GoLiveOrReadOn(bool readSomething) {
        if (server_.hub.LastPublished() <= lastQueued_) {
            mode_ = Mode::Live;
            return;
        }
        if (readSomething) {
            return ReadOn();
        }
        // Published, yet not found in the journal (a reader that cannot
        // see the newest file's end yet): read again a little later rather
        // than at once and for ever.
        mode_ = Mode::Reading;
        retry_.expires_after(std::chrono::milliseconds(50));
        retry_.async_wait([weak = std::weak_ptr<EventStream>(shared_from_this())](beast::error_code error) {
            if (auto self = weak.lock(); self && !error) {
                self->ReadOn();
            }
        });
    }

    void OnLive(uint64_t seq, const std::string& message) {
        // Outside Live mode the journal brings every event; a live one is
        // dropped. (Letting one through that follows the last queued would
        // change nothing the page sees: EnqueueEvent keeps each seq once and
        // in order, and the queue keeps its bound; dropping it keeps the
        // stream on one road at a time.)
        if (mode_ != Mode::Live || seq <= lastQueued_) {
            return;
        }
        if (seq != lastQueued_ + 1 || queue_.size() >= server_.options.maxQueuedEvents) {
            // A gap (an alarm's jump, an event missed) or a client that
            // reads slower than the events come: the journal has the rest.
            return ReadOn();
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
        queue_.push_back(std::move(message));
        if (!writing_) {
            WriteNext();
        }
    }

    void WriteNext() {
        if (closed_) {
            writing_ = false;
            return;
        }
        if (mode_ == Mode::Reading && queue_.size() < kReadBatch && !reading_) {
            ReadOn(); // the client took most of the last batch
        }
        if (queue_.empty()) {
            writing_ = false;
            if (endOnceWritten_) {
                EndStream();
            }
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
        retry_.cancel();
        // The subscription goes with the session (its destructor), once the
        // handlers still holding it have run; events meanwhile find it closed.
        Close();
    }

    // The close sends the peer its FIN and ends the pending handlers.
    void Close() { stream_.close(); }

    beast::tcp_stream stream_;
    HttpServer::Impl& server_;
    ConnectionSlot slot_;
    std::unique_ptr<JournalReader> reader_;
    enum class Mode { Starting, Reading, Live } mode_ = Mode::Starting;
    bool reading_ = false; // a read of the journal is under way (one at a time: the reader is the stream's)
    bool endOnceWritten_ = false;
    bool writing_ = false;
    bool closed_ = false;
    uint64_t subscription_ = 0;
    uint64_t lastQueued_ = 0;
    std::deque<std::string> queue_;
    net::steady_timer heartbeat_{stream_.get_executor()};
    net::steady_timer retry_{stream_.get_executor()};
};

} // namespace

void StartEventStream(beast::tcp_stream stream, ConnectionSlot slot, HttpServer::Impl& server,
                      const EventStreamStart& start) {
    std::make_shared<EventStream>(std::move(stream), std::move(slot), server)->Start(start);
}

} // namespace cashdrawer::agent
