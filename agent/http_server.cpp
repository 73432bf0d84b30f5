#include "http_server.h"

#include <utility> // before Asio, whose coroutine header leans on it

#include "bridge_access.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <atomic>
#include <cctype>
#include <deque>
#include <optional>
#include <vector>

namespace cashdrawer::agent {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

constexpr std::size_t kMaxHeaderBytes = 8 * 1024;
constexpr int kWorkerThreads = 4; // kicks at work at once; any count serves, more only wait less

std::string LowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

HttpRequest ToRequest(const http::request<http::string_body>& message) {
    HttpRequest request;
    request.method = std::string(message.method_string());
    const std::string target(message.target());
    const std::size_t question = target.find('?');
    request.path = target.substr(0, question);
    request.query = question == std::string::npos ? "" : target.substr(question + 1);
    for (const auto& field : message) {
        const std::string name = LowerCase(std::string(field.name_string()));
        auto [entry, added] = request.headers.emplace(name, std::string(field.value()));
        if (!added) {
            // A header sent twice reads as both: a doubled Host or Origin
            // then matches nothing and is refused.
            entry->second += ", " + std::string(field.value());
        }
    }
    request.body = message.body();
    return request;
}

// "ticket=abc&x=1" -> "abc" for "ticket".
std::string QueryValue(const std::string& query, const std::string& name) {
    std::size_t start = 0;
    while (start <= query.size()) {
        const std::size_t end = std::min(query.find('&', start), query.size());
        const std::string pair = query.substr(start, end - start);
        if (pair.starts_with(name + "=")) {
            return pair.substr(name.size() + 1);
        }
        start = end + 1;
    }
    return "";
}

} // namespace

struct HttpServer::Impl {
    HttpServerOptions options;
    Bridge& bridge;
    EventHub& hub;
    JournalReplay replay;
    std::function<void(const std::string&)> log;

    // Counted by the sessions, which the io_context may still hold when it
    // is destroyed: declared before it, so they outlive it.
    std::atomic<std::size_t> connections{0};
    std::atomic<uint16_t> port{}; // what Start bound; read only after it
    net::io_context io;
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
    std::unique_ptr<net::thread_pool> workers;
    // The one thread of the I/O (Asio's own threads: no std::thread on the
    // win32 thread model).
    std::unique_ptr<net::thread_pool> ioThread;

    Impl(const HttpServerOptions& o, Bridge& b, EventHub& h, JournalReplay r, std::function<void(const std::string&)> l)
        : options(o), bridge(b), hub(h), replay(std::move(r)), log(std::move(l)) {}

    void Accept(tcp::acceptor& acceptor);
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, HttpServer::Impl& server) : stream_(std::move(socket)), server_(server) {
        ++server_.connections;
    }
    ~Session() {
        if (subscription_ != 0) {
            server_.hub.Unsubscribe(subscription_);
        }
        --server_.connections;
    }

    void Run() { ReadRequest(server_.options.requestTime); }

private:
    void ReadRequest(std::chrono::milliseconds firstByteTime) {
        parser_.emplace();
        // The README's 8 KiB, stated here though it is also the parser's
        // own default: a later parser with another default must not move it.
        parser_->header_limit(kMaxHeaderBytes);
        // (The bridge refuses a larger body too: this limit only spares
        // reading one into memory, which no answer shows.)
        parser_->body_limit(kMaxBodyBytes);
        // One deadline for the whole request: a client that trickles its
        // bytes is cut off when it runs out, however steadily it sends.
        stream_.expires_after(firstByteTime);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code error, std::size_t) { self->OnRead(error); });
    }

    void OnRead(beast::error_code error) {
        if (error == http::error::body_limit) {
            return Answer(HttpResponse::Refusal(413, "a body may hold " + std::to_string(kMaxBodyBytes) + " bytes at most"),
                          false);
        }
        if (error == http::error::header_limit) {
            return Answer(HttpResponse::Refusal(431, "the headers may hold 8 KiB at most"), false);
        }
        if (error) {
            return Close(); // the client went, sent no HTTP, or ran out of time
        }
        const http::request<http::string_body>& message = parser_->get();
        keepAlive_ = message.keep_alive();
        HttpRequest request = ToRequest(message);
        if (request.method == "GET" && request.path == "/v1/events") {
            return StartStream(request);
        }
        // Worked out on the pool: a confirmed kick waits for the sensor.
        net::post(*server_.workers, [self = shared_from_this(), request = std::move(request)] {
            HttpResponse response;
            try {
                response = self->server_.bridge.Handle(request);
            } catch (const std::exception& failure) {
                // (An allocation failure, or a fault of ours: the caller is
                // told, and the server goes on.)
                response = HttpResponse::Refusal(500, std::string("the agent failed: ") + failure.what());
            }
            net::post(self->stream_.get_executor(),
                      [self, response = std::move(response)]() mutable { self->Answer(std::move(response), self->keepAlive_); });
        });
    }

    void Answer(HttpResponse response, bool keepAlive) {
        auto message = std::make_shared<http::response<http::string_body>>();
        message->result(static_cast<unsigned>(response.status));
        message->version(11);
        for (const auto& [name, value] : response.headers) {
            message->insert(name, value);
        }
        message->set(http::field::cache_control, "no-store");
        message->keep_alive(keepAlive);
        message->body() = std::move(response.body);
        message->prepare_payload();
        stream_.expires_after(server_.options.requestTime);
        http::async_write(stream_, *message,
                          [self = shared_from_this(), message, keepAlive](beast::error_code error, std::size_t) {
                              if (error || !keepAlive) {
                                  return self->Close();
                              }
                              self->ReadRequest(self->server_.options.idleTime);
                          });
    }

    // The close sends the peer its FIN (a reset when unread bytes wait, so
    // that nothing it sent after is taken for a request), ends the pending
    // handlers, and frees the descriptor now. A shutdown before it would
    // send the same and no client could tell.
    void Close() { stream_.close(); }

    // --- the event stream ---------------------------------------------------

    void StartStream(const HttpRequest& request) {
        std::string origin;
        const std::string ticket = QueryValue(request.query, "ticket");
        if (!IsLoopbackHost(request.Header("host"), server_.port.load())) {
            return Answer(HttpResponse::Refusal(403, "the Host header must name this terminal's loopback address and port"),
                          false);
        }
        if (!ticket.empty()) {
            // A plain EventSource: the ticket stands for the token, once.
            const auto ticketOrigin = server_.bridge.TakeTicket(ticket);
            const auto asking = CanonicalOrigin(request.Header("origin"));
            if (!ticketOrigin || (asking && *asking != *ticketOrigin)) {
                return Answer(HttpResponse::Refusal(401, "the ticket is unknown, used or expired"), false);
            }
            origin = *ticketOrigin;
        } else if (auto refusal = server_.bridge.Authorize(request, origin)) {
            return Answer(std::move(*refusal), false);
        }
        uint64_t after = 0;
        const std::string& lastEventId = request.Header("last-event-id");
        const bool resuming = !lastEventId.empty();
        if (resuming) {
            if (lastEventId.find_first_not_of("0123456789") != std::string::npos || lastEventId.size() > 19) {
                return Answer(HttpResponse::Refusal(400, "Last-Event-ID is the seq of the last event seen"), false);
            }
            after = std::stoull(lastEventId);
        }
        std::weak_ptr<Session> weak = shared_from_this();
        subscription_ = server_.hub.Subscribe([weak, executor = stream_.get_executor()](const JournalledEvent& event) {
            net::post(executor, [weak, seq = event.seq, message = SseMessage(event)] {
                if (auto self = weak.lock()) {
                    self->OnLive(seq, message);
                }
            });
        });
        auto head = std::make_shared<std::string>(
            "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
            "Access-Control-Allow-Origin: " + origin + "\r\nVary: Origin\r\nConnection: close\r\n\r\n"
            "retry: 1000\n\n");
        Enqueue(std::move(*head));
        // The past from the journal, read on the pool; the subscription above
        // holds what is published meanwhile.
        net::post(*server_.workers, [self = shared_from_this(), after, resuming] {
            auto past = std::make_shared<std::vector<std::pair<uint64_t, std::string>>>();
            const auto collect = [&past](const JournalledEvent& event) { past->emplace_back(event.seq, SseMessage(event)); };
            uint64_t startAfter = after;
            if (!resuming) {
                // A new client: the events from now on (its page reads the
                // drawers' state with the drawers call).
                startAfter = self->server_.replay(UINT64_MAX, [](const JournalledEvent&) {});
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
        heartbeat_.async_wait([weak = std::weak_ptr<Session>(shared_from_this())](beast::error_code error) {
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
        closed_ = true;
        heartbeat_.cancel();
        // The subscription goes with the session (its destructor), once the
        // handlers still holding it have run; events meanwhile find it closed.
        Close();
    }

    beast::tcp_stream stream_;
    HttpServer::Impl& server_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    bool keepAlive_ = false;

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

void HttpServer::Impl::Accept(tcp::acceptor& acceptor) {
    acceptor.async_accept(net::make_strand(io), [this, &acceptor](beast::error_code error, tcp::socket socket) {
        if (error == net::error::operation_aborted) {
            return;
        }
        if (!error) {
            if (connections.load() >= options.maxConnections) {
                beast::error_code ignored; // closed at once: nothing was read or sent on it
                socket.close(ignored);
            } else {
                std::make_shared<Session>(std::move(socket), *this)->Run();
            }
        }
        Accept(acceptor);
    });
}

HttpServer::HttpServer(const HttpServerOptions& options, Bridge& bridge, EventHub& hub, JournalReplay replay,
                       std::function<void(const std::string&)> log)
    : impl_(std::make_unique<Impl>(options, bridge, hub, std::move(replay), std::move(log))) {}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(std::string& error) {
    uint16_t port = impl_->options.port;
    for (const char* address : {"127.0.0.1", "::1"}) {
        beast::error_code code;
        auto acceptor = std::make_unique<tcp::acceptor>(impl_->io);
        const tcp::endpoint endpoint(net::ip::make_address(address), port);
        acceptor->open(endpoint.protocol(), code);
        if (!code) {
            acceptor->set_option(net::socket_base::reuse_address(true), code);
            if (endpoint.protocol() == tcp::v6()) {
                acceptor->set_option(net::ip::v6_only(true), code);
            }
            acceptor->bind(endpoint, code);
        }
        if (!code) {
            acceptor->listen(net::socket_base::max_listen_connections, code);
        }
        if (code) {
            if (impl_->acceptors.empty()) {
                error = std::string(address) + " port " + std::to_string(port) + ": " + code.message();
                return false;
            }
            impl_->log("cashdrawer-agent: the bridge serves 127.0.0.1 only: [::1]: " + code.message());
            continue;
        }
        port = acceptor->local_endpoint().port(); // the first's, when any free port was asked for
        impl_->acceptors.push_back(std::move(acceptor));
    }
    impl_->port = port;
    impl_->workers = std::make_unique<net::thread_pool>(kWorkerThreads);
    for (auto& acceptor : impl_->acceptors) {
        impl_->Accept(*acceptor);
    }
    impl_->ioThread = std::make_unique<net::thread_pool>(1);
    net::post(*impl_->ioThread, [this] { impl_->io.run(); });
    return true;
}

void HttpServer::Stop() {
    if (!impl_->ioThread) {
        return;
    }
    impl_->io.stop();
    impl_->ioThread->join();
    // Marks the server stopped, so the destructor's Stop returns at once.
    // (Were it kept, that second Stop would only repeat what is done:
    // stopping a stopped context and joining joined pools change nothing.)
    impl_->ioThread.reset();
    impl_->workers->join();
    impl_->acceptors.clear();
}

uint16_t HttpServer::Port() const { return impl_->port.load(); }
std::size_t HttpServer::Connections() const { return impl_->connections.load(); }

} // namespace cashdrawer::agent
