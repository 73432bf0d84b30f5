#include "bridge/http_server_impl.h"

namespace cashdrawer::agent {
namespace {

constexpr int kWorkerThreads = 4; // kicks at work at once; any count serves, more only wait less
// Event streams reading the journal at once; each read is one batch, so a
// stream far behind takes turns with the others.
constexpr int kJournalReaderThreads = 2;

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
                ServeConnection(std::move(socket), *this);
            }
        }
        Accept(acceptor);
    });
}

HttpServer::HttpServer(const HttpServerOptions& options, Bridge& bridge, EventHub& hub, JournalReaders readers,
                       std::function<void(const std::string&)> log)
    : impl_(std::make_unique<Impl>(options, bridge, hub, std::move(readers), std::move(log))) {}

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
            // (Only a system without IPv6 gets here; the test machines all
            // bind ::1, so no test reaches this line.)
            impl_->log("cashdrawer-agent: the bridge serves 127.0.0.1 only: [::1]: " + code.message());
            continue;
        }
        port = acceptor->local_endpoint().port(); // the first's, when any free port was asked for
        impl_->acceptors.push_back(std::move(acceptor));
    }
    impl_->port = port;
    impl_->workers = std::make_unique<net::thread_pool>(kWorkerThreads);
    impl_->journalReaders = std::make_unique<net::thread_pool>(kJournalReaderThreads);
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
    impl_->journalReaders->join();
    impl_->acceptors.clear();
}

uint16_t HttpServer::Port() const { return impl_->port.load(); }
std::size_t HttpServer::Connections() const { return impl_->connections.load(); }

} // namespace cashdrawer::agent
