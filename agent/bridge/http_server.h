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
// journalled event after the client's Last-Event-ID (read from the
// journal, a batch at a time), then the live ones as the agent publishes
// them; without Last-Event-ID, every event from the stream's start on. A
// stream that falls behind reads the journal again until it is live.
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
    // Live events queued for a stream, at most: one that reads slower goes
    // back to reading the journal until it has caught up.
    std::size_t maxQueuedEvents = 4096;
};

// How an event stream reads the journal's past: each stream opens its own
// reader, which remembers its place, and reads a batch at a time on the
// server's reading threads.
class JournalReader {
public:
    virtual ~JournalReader() = default;
    // Hands up to `max` events after `afterSeq`, in order; how many. Fewer
    // than `max`: the journal's end for now, or a problem.
    virtual std::size_t Read(uint64_t afterSeq, std::size_t max, const std::function<void(const JournalledEvent&)>& each) = 0;
    // The journal's newest seq (0: none yet).
    virtual uint64_t NewestSeq() = 0;
    // Why reading stopped before the journal's end; empty while it reads well.
    virtual std::string Problem() = 0;
};
using JournalReaders = std::function<std::unique_ptr<JournalReader>()>;

class HttpServer {
public:
    HttpServer(const HttpServerOptions& options, Bridge& bridge, EventHub& hub, JournalReaders readers,
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
