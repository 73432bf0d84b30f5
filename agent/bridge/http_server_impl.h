// Inside the bridge's HTTP server: the Asio side that the listener, the
// request sessions and the event streams share. Included by the three
// files of the server only.
#pragma once

#include <utility> // before Asio, whose coroutine header leans on it

#include "bridge/http_server.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cashdrawer::agent {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

struct HttpServer::Impl {
    HttpServerOptions options;
    Bridge& bridge;
    EventHub& hub;
    JournalReaders readers;
    std::function<void(const std::string&)> log;

    // Counted by the sessions, which the io_context may still hold when it
    // is destroyed: declared before it, so they outlive it.
    std::atomic<std::size_t> connections{0};
    std::atomic<uint16_t> port{}; // what Start bound; read only after it
    net::io_context io;
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
    std::unique_ptr<net::thread_pool> workers;
    // The event streams' reads of the journal run on their own threads:
    // however many streams catch up at once, the answers the workers give
    // (a kick above all) never wait behind them.
    std::unique_ptr<net::thread_pool> journalReaders;
    // The one thread of the I/O (Asio's own threads: no std::thread on the
    // win32 thread model).
    std::unique_ptr<net::thread_pool> ioThread;

    Impl(const HttpServerOptions& o, Bridge& b, EventHub& h, JournalReaders r, std::function<void(const std::string&)> l)
        : options(o), bridge(b), hub(h), readers(std::move(r)), log(std::move(l)) {}

    void Accept(tcp::acceptor& acceptor);
};

// One of the server's connections, counted for as long as something holds
// it: the request session, then the event stream it may become.
class ConnectionSlot {
public:
    explicit ConnectionSlot(HttpServer::Impl& server) : server_(&server) { ++server_->connections; }
    ConnectionSlot(ConnectionSlot&& other) noexcept : server_(std::exchange(other.server_, nullptr)) {}
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ~ConnectionSlot() {
        if (server_ != nullptr) {
            --server_->connections;
        }
    }

private:
    HttpServer::Impl* server_;
};

// Reads requests on a new connection and answers them (http_session.cpp).
void ServeConnection(tcp::socket socket, HttpServer::Impl& server);

// What an event stream starts from, once its request has been let in.
struct EventStreamStart {
    std::string origin;   // named in the stream's Access-Control-Allow-Origin
    uint64_t after = 0;   // the Last-Event-ID
    bool resuming = false; // whether the request carried one
};

// Turns the connection into a Server-Sent Events stream (event_stream.cpp).
void StartEventStream(beast::tcp_stream stream, ConnectionSlot slot, HttpServer::Impl& server,
                      const EventStreamStart& start);

} // namespace cashdrawer::agent
