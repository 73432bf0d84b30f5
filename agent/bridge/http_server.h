// The bridge's HTTP server (Boost.Beast on Asio): bound to the loopback
// addresses only, whatever the settings say, with every limit a web page
// could otherwise push against:
//
// - a request's header over 8 KiB is answered 431, a body over 4 KiB 413;
// - a request must arrive whole within a few seconds, so a client that
//   sends a byte a second is cut off and holds nothing for long;
// - past 64 connections a new one is closed at once; those open go on;
// - the bridge's answers are worked out on a small pool of threads, so a
//   confirmed kick that waits for the sensor stalls nobody else.
//
// GET /v1/events is served here: a Server-Sent Events stream of every
// journalled event after the client's Last-Event-ID (from the journal),
// then the live ones as the agent publishes them; without Last-Event-ID,
// the live ones only.
#pragma once

#include "bridge/bridge.h"
#include "watch/event_hub.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace cashdrawer::agent {

struct HttpServerOptions {
    uint16_t port{}; // the settings' BridgePort; 0: any free port (tests)
    // The bounds below guard against a misbehaving page or program. Their
    // figures are the agent's word to integrators (the README gives them);
    // the tests set their own.
    std::size_t maxConnections = 64;
    std::chrono::milliseconds requestTime{5000};   // for a whole request to arrive
    std::chrono::milliseconds idleTime{30000};     // between requests on a kept connection
    std::chrono::milliseconds heartbeat{15000};    // a comment line on a quiet event stream
    std::size_t maxQueuedEvents = 4096;            // a stream that reads slower is cut off
};

// Hands every journalled event with a seq over `afterSeq` to `each`, in
// order, and answers the journal's newest seq.
using JournalReplay =
    std::function<uint64_t(uint64_t afterSeq, const std::function<void(const JournalledEvent&)>& each)>;

class HttpServer {
public:
    HttpServer(const HttpServerOptions& options, Bridge& bridge, EventHub& hub, JournalReplay replay,
               std::function<void(const std::string&)> log);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds 127.0.0.1 and ::1 (a system without IPv6 keeps the first) and
    // starts serving; false, with `error`, when neither binds.
    bool Start(std::string& error);
    void Stop();
    uint16_t Port() const;
    std::size_t Connections() const;

    struct Impl; // the Asio side, and its connections' sessions

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace cashdrawer::agent
