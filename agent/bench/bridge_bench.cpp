// How the bridge does, in figures (it never passes or fails on them):
//   - kick requests a second over one kept connection (guard time off), and
//     their latency beside a direct call of the library;
//   - the time from a sensor's change to its event on a connected stream;
//   - the memory that 64 open event streams take.
// On the simulated library: bridge_bench build/native-release/bin/sim/libcashdrawer.so.0 [FOLDER]
#include "watch/agent.h"
#include "bridge/bridge_service.h"
#include "journal/journal.h"
#include "bridge/pairing.h"
#include "app/serve.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace cashdrawer::agent;
using Clock = std::chrono::steady_clock;

namespace {

// A blocking HTTP/1.1 client on one kept connection.
class Connection {
public:
    explicit Connection(uint16_t port) : port_(port), fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~Connection() { ::close(fd_); }

    // The answer's body; the head is read up to its Content-Length.
    std::string Call(const std::string& method, const std::string& path, const std::string& headers,
                     const std::string& body = "") {
        std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                              "\r\nOrigin: https://bench.example\r\n" + headers +
                              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        Send(request);
        std::size_t headEnd;
        while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
            Receive();
        }
        const std::size_t at = buffer_.find("Content-Length: ");
        const std::size_t length = at < headEnd ? std::stoul(buffer_.substr(at + 16)) : 0;
        while (buffer_.size() < headEnd + 4 + length) {
            Receive();
        }
        std::string answer = buffer_.substr(headEnd + 4, length);
        buffer_.erase(0, headEnd + 4 + length);
        return answer;
    }
    void Send(const std::string& bytes) { (void)!::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Reads until `text` has come.
    void WaitFor(const std::string& text) {
        while (buffer_.find(text) == std::string::npos) {
            Receive();
        }
        buffer_.erase(0, buffer_.find(text) + text.size());
    }

private:
    void Receive() {
        char chunk[4096];
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got <= 0) {
            throw std::runtime_error("the bridge closed the connection");
        }
        buffer_.append(chunk, static_cast<std::size_t>(got));
    }

    uint16_t port_;
    int fd_;
    std::string buffer_;
};

long RssKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

void Percentiles(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%s: %zu, median %.3f ms, 99th %.3f ms, max %.3f ms\n", what, ms.size(), ms[ms.size() / 2],
                ms[ms.size() * 99 / 100], ms.back());
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bridge_bench SIM_LIBRARY [FOLDER]\n");
        return 1;
    }
    const std::string folder = (argc > 2 ? argv[2] : (std::filesystem::current_path() / "bridge-bench").string());
    std::filesystem::remove_all(folder);
    std::string error;
    auto drawers = LoadDrawerLibrary(argv[1], error);
    void* sim = ::dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD);
    auto setPort = sim ? reinterpret_cast<void (*)(unsigned, unsigned, unsigned)>(::dlsym(sim, "CashDrawerSimSetPort")) : nullptr;
    if (!drawers || setPort == nullptr) {
        std::fprintf(stderr, "bridge_bench: the simulated library is needed: %s\n", error.c_str());
        return 1;
    }
    setPort(0x53A, 0x04, 1); // RN340 drawer A reads 0
    AgentSettings settings;
    settings.drawers = {{"RN340_CashA", 1}};
    settings.pollMs = 100;
    settings.journalFolder = folder;
    settings.bridgePort = 0; // any free port
    settings.kickGuardMs = 0;
    Journal::OpenStatus status{};
    auto journal = Journal::Open(JournalOptions{folder}, status, error);
    SystemAgentClock clock;
    Agent agent(settings, *drawers, *journal, clock);
    std::mutex agentLock;
    StatisticsKeeper statistics(folder);
    statistics.Load();
    agent.OnEvent([&statistics](const JournalledEvent& event) { statistics.Add(event); });
    auto bridge = StartBridgeService(settings, agent, agentLock, statistics, drawers->Version(), [](const std::string&) {}, error);
    if (!bridge) {
        std::fprintf(stderr, "bridge_bench: %s\n", error.c_str());
        return 1;
    }
    {
        std::lock_guard lock(agentLock);
        agent.Start();
    }
    class Forever final : public ServeWait {
    public:
        Woken Wait(uint32_t ms, std::string&) override {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            return stop ? Woken::Stop : Woken::TimeUp;
        }
        std::atomic<bool> stop{false};
    } wait;
    std::thread loop([&] {
        ServeLoop(agent, clock, wait, settings.pollMs, [](const std::string&) {}, [&](const std::function<void()>& step) {
            std::lock_guard lock(agentLock);
            step();
        });
    });

    const uint16_t port = bridge->Port();
    auto store = MakeFolderPairingStore(folder);
    const std::string code = *IssuePairingCode(*store, clock.UnixMillis(), error);
    auto tillConnection = std::make_unique<Connection>(port);
    Connection& till = *tillConnection;
    const std::string paired = till.Call("POST", "/v1/pair", "Content-Type: application/json\r\n", "{\"code\":\"" + code + "\"}");
    const std::string token = paired.substr(paired.find("\"token\":\"") + 9, 64);
    const std::string auth = "Authorization: Bearer " + token + "\r\n";

    // Sensor to page: a stream open, 20 changes at uneven moments (before
    // any kick, whose simulated drawer would spring open by itself).
    Connection stream(port);
    stream.Send("GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                "\r\nOrigin: https://bench.example\r\n" + auth + "\r\n");
    stream.WaitFor("retry: 1000\n\n");
    std::vector<double> toPage;
    for (int change = 0; change < 20; ++change) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + 37 * change % 100));
        const auto changedAt = Clock::now();
        setPort(0x53A, change % 2 == 0 ? 0x00 : 0x04, 1);
        stream.WaitFor(change % 2 == 0 ? "event: opened" : "event: closed");
        toPage.push_back(std::chrono::duration<double, std::milli>(Clock::now() - changedAt).count());
    }
    Percentiles("sensor to page (poll 100 ms)", toPage);

    // Kicks: through the bridge, then the library directly.
    constexpr int kKicks = 1000;
    std::vector<double> bridged, direct;
    const auto kicksStart = Clock::now();
    for (int i = 0; i < kKicks; ++i) {
        const auto start = Clock::now();
        till.Call("POST", "/v1/drawers/RN340_CashA/open",
                  auth + "Content-Type: application/json\r\nIdempotency-Key: k" + std::to_string(i) + "\r\n", "{}");
        bridged.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    const double kickSeconds = std::chrono::duration<double>(Clock::now() - kicksStart).count();
    for (int i = 0; i < kKicks; ++i) {
        const auto start = Clock::now();
        drawers->OpenCash("RN340_CashA");
        direct.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::printf("kicks through the bridge: %.0f a second over one connection, each journalled\n", kKicks / kickSeconds);
    Percentiles("  bridge kick", bridged);
    Percentiles("  direct OpenCash", direct);

    // Memory with 64 streams open (the connection cap): the one above and 63
    // more, once the till's connection has gone.
    tillConnection.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long before = RssKib();
    std::vector<std::unique_ptr<Connection>> streams;
    for (int i = 0; i < 63; ++i) {
        streams.push_back(std::make_unique<Connection>(port));
        streams.back()->Send("GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                             "\r\nOrigin: https://bench.example\r\n" + auth + "\r\n");
        streams.back()->WaitFor("retry: 1000\n\n");
    }
    std::printf("64 event streams open: %ld KiB more resident memory (whole process %ld KiB)\n", RssKib() - before,
                RssKib());
    streams.clear();
    wait.stop = true;
    loop.join();
    {
        std::lock_guard lock(agentLock);
        agent.Stop("benchmark done");
    }
    return 0;
}
