// The bridge's HTTP server, one connection: reads a request within its
// time and size limits, has the bridge answer it on the worker pool (a
// confirmed kick waits for the sensor there, stalling nobody), writes the
// answer, and reads the next while the client keeps the connection. A
// request for the event stream, once let in, turns the connection over to
// the stream.
#include "bridge/http_server_impl.h"

#include "bridge/bridge_access.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace cashdrawer::agent {
namespace {

constexpr std::size_t kMaxHeaderBytes = 8 * 1024;
// What is read while the head's end is looked for: a head at its limit and
// a body at its (the client may send both at once), with a line to spare.
// A head that has not ended within it is too large.
constexpr std::size_t kMaxHeadBytesRead = kMaxHeaderBytes + kMaxBodyBytes + 2;

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

HttpResponse BadFraming() {
    return HttpResponse::Refusal(400, "a body is framed by a Content-Length, or by Transfer-Encoding: chunked alone");
}

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, HttpServer::Impl& server)
        : stream_(std::move(socket)), server_(server), slot_(server) {}

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
        // The head first, as it came, for what the parser would smooth over
        // (bytes of a request sent behind the last one are in buffer_).
        head_ = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        net::async_read_until(stream_, net::dynamic_buffer(head_, kMaxHeadBytesRead), "\r\n\r\n",
                              [self = shared_from_this()](beast::error_code error, std::size_t size) { self->OnHead(error, size); });
    }

    void OnHead(beast::error_code error, std::size_t size) {
        if (error == net::error::not_found) {
            return Answer(HttpResponse::Refusal(431, "the headers may hold 8 KiB at most"), false);
        }
        if (error) {
            return Close();
        }
        // A header line folded onto the next (obs-fold) is refused, not
        // joined: RFC 9112 leaves the choice, and no client of ours folds.
        const std::string_view head = std::string_view(head_).substr(0, size);
        if (head.find("\r\n ") != std::string_view::npos || head.find("\r\n\t") != std::string_view::npos) {
            return Answer(HttpResponse::Refusal(400, "a header folded over two lines is refused"), false);
        }
        // The parser takes it from here, the head's bytes first.
        buffer_.commit(net::buffer_copy(buffer_.prepare(head_.size()), net::buffer(head_)));
        head_.clear();
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
        if (error == http::error::bad_transfer_encoding || error == http::error::bad_content_length) {
            return Answer(BadFraming(), false);
        }
        if (error) {
            return Close(); // the client went, sent no HTTP, or ran out of time
        }
        const http::request<http::string_body>& message = parser_->get();
        // The body's length must be beyond doubt (RFC 9112 6.1): a transfer
        // coding other than chunked alone, or one beside a Content-Length,
        // is answered 400 and the connection closed, never framed by a guess.
        const auto coding = message.find(http::field::transfer_encoding);
        if (coding != message.end() && (!beast::iequals(coding->value(), "chunked") ||
                                        message.count(http::field::transfer_encoding) > 1 ||
                                        message.count(http::field::content_length) > 0)) {
            return Answer(BadFraming(), false);
        }
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

    // Lets in a request for the event stream, or refuses it, as the bridge
    // does its other calls; the stream itself is event_stream.cpp's.
    void StartStream(const HttpRequest& request) {
        std::string origin;
        const std::string ticket = QueryValue(request.query, "ticket");
        if (!IsLoopbackHost(request.Header("host"), server_.port.load())) {
            return Answer(HttpResponse::Refusal(403, "the Host header must name this terminal's loopback address and port"),
                          false);
        }
        if (!ticket.empty()) {
            // A plain EventSource: the ticket stands for the token, once, and
            // for the origin it was issued to. A browser names the page's
            // origin on every such request; one that names none, or "null",
            // is not that page.
            const auto ticketOrigin = server_.bridge.TakeTicket(ticket);
            const auto asking = CanonicalOrigin(request.Header("origin"));
            if (!ticketOrigin || !asking || *asking != *ticketOrigin) {
                return Answer(HttpResponse::Refusal(401, "the ticket is unknown, used or expired"), false);
            }
            origin = *ticketOrigin;
        } else if (auto refusal = server_.bridge.Authorize(request, origin)) {
            return Answer(std::move(*refusal), false);
        }
        uint64_t after = 0;
        // A plain EventSource cannot send the header on a stream it opens
        // anew (with a new ticket, its old one spent): the page names the
        // last id it saw in the query instead.
        const std::string queryId = QueryValue(request.query, "lastEventId");
        const std::string& lastEventId = request.Header("last-event-id").empty() ? queryId : request.Header("last-event-id");
        const bool resuming = !lastEventId.empty();
        if (resuming) {
            if (lastEventId.find_first_not_of("0123456789") != std::string::npos || lastEventId.size() > 19) {
                return Answer(HttpResponse::Refusal(400, "Last-Event-ID (or lastEventId) is the seq of the last event seen"),
                              false);
            }
            after = std::stoull(lastEventId);
        }
        StartEventStream(std::move(stream_), std::move(slot_), server_, EventStreamStart{origin, after, resuming});
    }

    beast::tcp_stream stream_;
    HttpServer::Impl& server_;
    ConnectionSlot slot_;
    beast::flat_buffer buffer_;
    std::string head_; // a request's head, read before the parser sees it
    std::optional<http::request_parser<http::string_body>> parser_;
    bool keepAlive_ = false;
};

} // namespace

void ServeConnection(tcp::socket socket, HttpServer::Impl& server) {
    std::make_shared<Session>(std::move(socket), server)->Run();
}

} // namespace cashdrawer::agent
