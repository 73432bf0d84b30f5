// How the agent's reads do as its journal grows, in figures (it never
// passes or fails on them). For each size a journal is generated as the
// agent writes one (chained lines of about 230 bytes, files closed at
// 8 MiB), and the agent is started on it with its bridge:
//   - start to health: the journal opened, the statistics loaded, the
//     bridge started, and /v1/health answered;
//   - journal verify (every line read and checked);
//   - stats: the first count (no snapshot yet), then from the snapshot;
//   - /v1/statistics through the bridge;
//   - an event stream resumed 10 behind: its first event, and all ten;
//   - an event stream from seq 1: its rate, and the memory it adds;
//   - a kick's latency alone, and while four /v1/statistics calls loop.
// On the simulated library:
//   journal_bench build/native-release/bin/sim/libcashdrawer.so.0 [FOLDER] [LINES...]
#include "watch/agent.h"
#include "bridge/bridge_service.h"
#include "bridge/pairing.h"
#include "journal/journal.h"
#include "journal/journal_cursor.h"
#include "journal/journal_line.h"
#include "app/serve.h"
#include "watch/statistics_keeper.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

double MsSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

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

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Writes a journal as the agent would, without a sync a line: a kick, its
// opening and its closing, in turn, from one till.
void GenerateJournal(const std::string& folder, uint64_t lines) {
    constexpr uint64_t kFileBytes = 8u << 20;
    constexpr int64_t kT0 = 1'700'000'000'000;
    std::string prev = kGenesisHash;
    uint32_t number = 1;
    std::FILE* file = std::fopen(JournalFilePath(folder, number).c_str(), "wb");
    uint64_t size = 0;
    for (uint64_t seq = 1; seq <= lines; ++seq) {
        Event event;
        switch (seq % 3) {
        case 1:
            event = Event{kind::kKick, Json{{"drawer", "RN340_CashA"}, {"by", "https://till.example"}, {"confirm", true},
                                            {"result", 1}, {"outcome", "opened"}, {"ms", 184}}};
            break;
        case 2: event = Event{kind::kOpened, Json{{"drawer", "RN340_CashA"}, {"raw", 1}}}; break;
        default: event = Event{kind::kClosed, Json{{"drawer", "RN340_CashA"}, {"raw", 0}, {"openMs", 4200}}}; break;
        }
        if (seq == 1) {
            event.fields["chain"] = NewChainId();
        }
        const std::string line = ComposeLine(seq, FormatUtcMillis(kT0 + static_cast<int64_t>(seq) * 1000), event, prev) + "\n";
        if (size > 0 && size + line.size() > kFileBytes) {
            std::fclose(file);
            file = std::fopen(JournalFilePath(folder, ++number).c_str(), "wb");
            size = 0;
        }
        std::fwrite(line.data(), 1, line.size(), file);
        size += line.size();
        prev = HashOfLine(std::string_view(line).substr(0, line.size() - 1));
    }
    std::fclose(file);
}

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
        Send(method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
             "\r\nOrigin: https://bench.example\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
             "\r\n\r\n" + body);
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
    // Reads until `text` has come, keeping only a tail of what came before
    // (a stream of millions of events is never held).
    bool WaitFor(const std::string& text, const std::function<void()>& meanwhile = nullptr) {
        while (buffer_.find(text) == std::string::npos) {
            if (buffer_.size() > 2 * text.size()) {
                buffer_.erase(0, buffer_.size() - text.size());
            }
            if (!Receive()) {
                return false;
            }
            if (meanwhile) {
                meanwhile();
            }
        }
        buffer_.erase(0, buffer_.find(text) + text.size());
        return true;
    }

private:
    bool Receive() {
        char chunk[65536];
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got <= 0) {
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(got));
        return true;
    }

    uint16_t port_;
    int fd_;
    std::string buffer_;
};

struct Row {
    uint64_t lines = 0;
    double startMs = 0, openMs = 0, loadMs = 0, verifyS = 0, firstCountS = 0, statsMs = 0, statisticsMs = 0;
    double resumeFirstMs = 0, resumeAllMs = 0;
    double streamEventsPerS = 0;
    double streamRssMib = 0;
    double kickAloneMs = 0, kickUnderReadsMs = 0;
};

void PrintRow(const Row& row) {
    std::printf("| %llu | %.1f ms (journal %.1f, statistics %.1f) | %.2f s | %.2f s / %.1f ms | %.2f ms | %.2f / %.2f ms | %.0f /s, +%.1f MiB | %.2f / %.2f ms |\n",
                static_cast<unsigned long long>(row.lines), row.startMs, row.openMs, row.loadMs, row.verifyS, row.firstCountS, row.statsMs,
                row.statisticsMs, row.resumeFirstMs, row.resumeAllMs, row.streamEventsPerS, row.streamRssMib,
                row.kickAloneMs, row.kickUnderReadsMs);
}

class Forever final : public ServeWait {
public:
    Woken Wait(uint32_t ms, std::string&) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return stop ? Woken::Stop : Woken::TimeUp;
    }
    std::atomic<bool> stop{false};
};

bool Measure(const std::string& library, const std::string& folder, Row& row) {
    // verify, and the statistics' first count (which saves the snapshot).
    auto start = Clock::now();
    const JournalReport report = ReadJournal(folder, [](const JournalledEvent&) {});
    row.verifyS = MsSince(start) / 1000;
    if (!report.ok || report.lines != row.lines) {
        std::fprintf(stderr, "journal_bench: the generated journal does not verify: %s\n", report.Describe().c_str());
        return false;
    }
    start = Clock::now();
    {
        StatisticsKeeper first(folder);
        first.Load();
        std::string error;
        first.Save(error);
    }
    row.firstCountS = MsSince(start) / 1000;
    std::vector<double> stats;
    for (int i = 0; i < 5; ++i) {
        start = Clock::now();
        StatisticsKeeper keeper(folder);
        keeper.Load();
        stats.push_back(MsSince(start));
    }
    row.statsMs = Median(stats);

    // The agent and its bridge, started as serve starts them.
    std::string error;
    start = Clock::now();
    auto drawers = LoadDrawerLibrary(library, error);
    if (!drawers) {
        std::fprintf(stderr, "journal_bench: %s\n", error.c_str());
        return false;
    }
    AgentSettings settings;
    settings.drawers = {{"RN340_CashA", 1}};
    settings.pollMs = 100;
    settings.journalFolder = folder;
    settings.bridgePort = 0;
    settings.kickGuardMs = 0;
    Journal::OpenStatus status{};
    auto opening = Clock::now();
    auto journal = Journal::Open(JournalOptions{folder}, status, error);
    row.openMs = MsSince(opening);
    if (!journal) {
        std::fprintf(stderr, "journal_bench: %s\n", error.c_str());
        return false;
    }
    SystemAgentClock clock;
    Agent agent(settings, *drawers, *journal, clock);
    std::mutex agentLock;
    StatisticsKeeper statistics(folder);
    opening = Clock::now();
    statistics.Load();
    row.loadMs = MsSince(opening);
    agent.OnEvent([&statistics](const JournalledEvent& event) { statistics.Add(event); });
    auto bridge = StartBridgeService(settings, agent, agentLock, statistics, drawers->Version(), [](const std::string&) {}, error);
    if (!bridge) {
        std::fprintf(stderr, "journal_bench: %s\n", error.c_str());
        return false;
    }
    {
        std::lock_guard lock(agentLock);
        agent.Start();
    }
    const uint16_t port = bridge->Port();
    Connection(port).Call("GET", "/v1/health", "");
    row.startMs = MsSince(start);
    Forever wait;
    std::thread loop([&] {
        ServeLoop(agent, clock, wait, settings.pollMs, [](const std::string&) {}, [&](const std::function<void()>& step) {
            std::lock_guard lock(agentLock);
            step();
        });
    });

    auto store = MakeFolderPairingStore(folder);
    const std::string code = *IssuePairingCode(*store, clock.UnixMillis(), error);
    const std::string paired =
        Connection(port).Call("POST", "/v1/pair", "Content-Type: application/json\r\n", "{\"code\":\"" + code + "\"}");
    const std::string auth = "Authorization: Bearer " + paired.substr(paired.find("\"token\":\"") + 9, 64) + "\r\n";

    Connection till(port);
    std::vector<double> figures;
    for (int i = 0; i < 20; ++i) {
        start = Clock::now();
        till.Call("GET", "/v1/statistics", auth);
        figures.push_back(MsSince(start));
    }
    row.statisticsMs = Median(figures);

    // A page back after a moment away: 10 events behind.
    const uint64_t newest = NewestJournalSeq(folder);
    std::vector<double> first, all;
    for (int i = 0; i < 5; ++i) {
        Connection stream(port);
        start = Clock::now();
        stream.Send("GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                    "\r\nOrigin: https://bench.example\r\n" + auth + "Last-Event-ID: " + std::to_string(newest - 10) + "\r\n\r\n");
        stream.WaitFor("id: " + std::to_string(newest - 9) + "\n");
        first.push_back(MsSince(start));
        stream.WaitFor("id: " + std::to_string(newest) + "\n");
        all.push_back(MsSince(start));
    }
    row.resumeFirstMs = Median(first);
    row.resumeAllMs = Median(all);

    // Kicks, alone and while four pages ask for the statistics in a loop.
    const auto kicks = [&](int count) {
        std::vector<double> each;
        for (int i = 0; i < count; ++i) {
            start = Clock::now();
            till.Call("POST", "/v1/drawers/RN340_CashA/open",
                      auth + "Content-Type: application/json\r\nIdempotency-Key: k" + std::to_string(clock.UnixMillis()) +
                          "-" + std::to_string(i) + "\r\n",
                      "{}");
            each.push_back(MsSince(start));
        }
        return Median(each);
    };
    row.kickAloneMs = kicks(200);
    std::atomic<bool> reading{true};
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([&] {
            Connection page(port);
            while (reading) {
                page.Call("GET", "/v1/statistics", auth);
            }
        });
    }
    row.kickUnderReadsMs = kicks(200);
    reading = false;
    for (auto& reader : readers) {
        reader.join();
    }

    // A page that streams the whole journal from its start.
    {
        const uint64_t last = NewestJournalSeq(folder);
        const long before = RssKib();
        long peak = before;
        Connection stream(port);
        start = Clock::now();
        stream.Send("GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                    "\r\nOrigin: https://bench.example\r\n" + auth + "Last-Event-ID: 0\r\n\r\n");
        int sampled = 0;
        stream.WaitFor("id: " + std::to_string(last) + "\n", [&] {
            if (++sampled % 256 == 0) {
                peak = std::max(peak, RssKib());
            }
        });
        row.streamEventsPerS = static_cast<double>(last) / (MsSince(start) / 1000);
        row.streamRssMib = static_cast<double>(peak - before) / 1024;
    }

    wait.stop = true;
    loop.join();
    {
        std::lock_guard lock(agentLock);
        agent.Stop("benchmark done");
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        std::fprintf(stderr, "usage: journal_bench SIM_LIBRARY [FOLDER] [LINES...]\n");
        return 1;
    }
    const std::string base = argc > 2 ? argv[2] : (std::filesystem::current_path() / "journal-bench").string();
    std::vector<uint64_t> sizes;
    for (int i = 3; i < argc; ++i) {
        sizes.push_back(std::stoull(argv[i]));
    }
    if (sizes.empty()) {
        sizes = {10'000, 100'000, 1'000'000, 5'000'000};
    }
    std::vector<Row> rows;
    for (const uint64_t lines : sizes) {
        const std::string folder = base + "/" + std::to_string(lines);
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        const auto start = Clock::now();
        GenerateJournal(folder, lines);
        std::printf("%llu lines generated in %.1f s\n", static_cast<unsigned long long>(lines), MsSince(start) / 1000);
        Row row;
        row.lines = lines;
        if (!Measure(argv[1], folder, row)) {
            return 1;
        }
        rows.push_back(row);
        PrintRow(row);
        std::filesystem::remove_all(folder);
    }
    std::printf("\n| lines | start to health | journal verify | stats: first count / from snapshot | /v1/statistics | "
                "resume 10 behind: first / all | stream from seq 1: rate, memory | kick alone / under 4 statistics loops |\n"
                "|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Row& row : rows) {
        PrintRow(row);
    }
    return 0;
}
