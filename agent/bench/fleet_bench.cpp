// The fleet publisher at scale, in figures (it never passes or fails):
// N simulated terminals in one process, each a whole agent (journal, watch
// loop, MQTT publisher with its two threads) on a drawer that opens and
// closes every few seconds, against one mosquitto started here; a
// head-office subscriber (a persistent QoS 1 session) checks every seq. The
// broker is stopped for a few seconds halfway through and started again.
//   fleet_bench [N...]        (default: 50 200 500; mosquitto from /usr/sbin)
// Prints events a second, the time from the journal line to the head office
// (p50, p99, max; outside the outage and in all), repeats, and losses.
#include "watch/agent.h"
#include "fleet/fleet_service.h"
#include "journal/journal.h"

#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

using namespace cashdrawer::agent;
using SteadyClock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr auto kRun = std::chrono::seconds(40);
constexpr auto kOutageStart = std::chrono::seconds(15);
constexpr auto kOutage = std::chrono::seconds(5);

int64_t UnixMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

class Broker {
public:
    Broker(const fs::path& folder, uint16_t port) : folder_(folder), port_(port) {
        std::ofstream(folder / "mosquitto.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous true\n"
                                                 << "persistence true\npersistence_location " << folder.string()
                                                 << "/\nmax_queued_messages 0\nuser " << (::getenv("USER") ? ::getenv("USER") : "root")
                                                 << "\n";
    }
    ~Broker() { Stop(); }
    void Start() {
        std::fflush(stdout); // the child must not print what the parent buffered
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string conf = (folder_ / "mosquitto.conf").string();
            const std::string log = (folder_ / "mosquitto.log").string();
            std::freopen(log.c_str(), "a", stdout);
            std::freopen(log.c_str(), "a", stderr);
            ::execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    // The broker's resident memory in KiB, and its CPU seconds since it
    // (last) started.
    long RssKiB() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmRSS:", 0) == 0) {
                return std::stol(line.substr(6));
            }
        }
        return 0;
    }
    double CpuSeconds() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        unsigned long ticks = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14 || i == 15) {
                ticks += std::stoul(field); // utime, stime
            }
        }
        return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    fs::path folder_;
    uint16_t port_;
    pid_t pid_ = -1;
};

// A drawer that opens for a while and shuts again, every few seconds.
class CyclingDrawer final : public DrawerAccess {
public:
    explicit CyclingDrawer(unsigned seed) : phaseMs_(seed % 3000), periodMs_(2000 + seed % 2000) {}
    int GetCashStatus(const std::string&) override {
        const int64_t t = (UnixMillis() + phaseMs_) % periodMs_;
        return t < 500 ? 1 : 0; // open for half a second each period
    }
    int OpenCash(const std::string&) override { return 1; }
    int OpenCashConfirmed(const std::string&, int) override { return 1; }
    std::string LastError() override { return ""; }
    std::string Version() override { return "bench"; }
    std::string Location() const override { return "cycling"; }

private:
    int64_t phaseMs_;
    int64_t periodMs_;
};

struct Terminal {
    std::unique_ptr<CyclingDrawer> drawer;
    std::unique_ptr<Journal> journal;
    std::unique_ptr<Agent> agent;
    std::unique_ptr<FleetService> fleet;
};

// The head office: every event's first arrival and its delay.
class HeadOffice {
public:
    explicit HeadOffice(uint16_t port) : client_(mosquitto_new("bench-head-office", false, this)) {
        mosquitto_connect_callback_set(client_, [](mosquitto* mosq, void*, int code) {
            if (code == 0) {
                mosquitto_subscribe(mosq, nullptr, "cashdrawer/v1/+/+/events", 1);
            }
        });
        mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* message) {
            static_cast<HeadOffice*>(self)->Take(message);
        });
        mosquitto_connect(client_, "127.0.0.1", port, 30);
        // Its own loop: the library's gives up for good on some failures.
        loop_ = std::thread([this] {
            while (!stop_) {
                if (mosquitto_loop(client_, 100, 1) != MOSQ_ERR_SUCCESS && !stop_) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
                    mosquitto_reconnect(client_);
                }
            }
        });
    }
    ~HeadOffice() {
        stop_ = true;
        loop_.join();
        mosquitto_disconnect(client_);
        mosquitto_destroy(client_);
    }
    void Take(const mosquitto_message* message) {
        const int64_t now = UnixMillis();
        const std::string payload(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen));
        const Json event = Json::parse(payload, nullptr, false);
        const std::string terminal = message->topic;
        std::lock_guard lock(mutex_);
        const uint64_t seq = event.value("seq", uint64_t{0});
        if (!seen_[terminal].insert(seq).second) {
            ++repeats_;
            return;
        }
        // The journal line's time against now, both this machine's clock.
        const std::string time = event.value("time", "");
        delays_.push_back({now - ParseMillis(time), outage_});
    }
    void SetOutage(bool outage) {
        std::lock_guard lock(mutex_);
        outage_ = outage;
    }
    std::size_t Seen(const std::string& terminal, uint64_t upTo) {
        std::lock_guard lock(mutex_);
        const auto& seqs = seen_[terminal];
        return static_cast<std::size_t>(std::count_if(seqs.begin(), seqs.end(), [upTo](uint64_t s) { return s <= upTo; }));
    }
    struct Delay {
        int64_t ms;
        bool duringOutage;
    };
    std::vector<Delay> Delays() {
        std::lock_guard lock(mutex_);
        return delays_;
    }
    uint64_t Repeats() {
        std::lock_guard lock(mutex_);
        return repeats_;
    }

private:
    // "2026-12-08T12:34:51.789Z" -> Unix milliseconds.
    static int64_t ParseMillis(const std::string& text) {
        std::tm tm{};
        int millis = 0;
        if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                        &tm.tm_min, &tm.tm_sec, &millis) != 7) {
            return 0;
        }
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        return static_cast<int64_t>(::timegm(&tm)) * 1000 + millis;
    }

    mosquitto* client_;
    std::atomic<bool> stop_{false};
    std::thread loop_;
    std::mutex mutex_;
    std::map<std::string, std::set<uint64_t>> seen_;
    std::vector<Delay> delays_;
    uint64_t repeats_ = 0;
    bool outage_ = false;
};

volatile std::sig_atomic_t stopTerminals = 0;

// A worker process: terminals [first, last), each polled every 100 ms as
// its agent's loop would, until SIGTERM; then each stops as an agent does.
void RunTerminals(std::size_t first, std::size_t last, const std::vector<std::string>& folders, uint16_t port) {
    std::signal(SIGTERM, [](int) { stopTerminals = 1; });
    static SystemAgentClock clock;
    std::vector<Terminal> terminals(last - first);
    for (std::size_t i = first; i < last; ++i) {
        Terminal& t = terminals[i - first];
        AgentSettings settings;
        settings.drawers = {{"RN340_CashA", 1}};
        settings.pollMs = 100;
        settings.leftOpenMs = 0;
        settings.journalFolder = folders[i];
        settings.mqtt.host = "127.0.0.1";
        settings.mqtt.port = port;
        settings.mqtt.site = "bench";
        settings.mqtt.terminal = "till-" + std::to_string(i);
        settings.mqtt.clientId = "bench-" + std::to_string(i);
        t.drawer = std::make_unique<CyclingDrawer>(static_cast<unsigned>(i * 7919));
        Journal::OpenStatus status{};
        std::string error;
        t.journal = Journal::Open(JournalOptions{settings.journalFolder}, status, error);
        t.agent = std::make_unique<Agent>(settings, *t.drawer, *t.journal, clock);
        t.fleet = StartFleetService(settings, *t.agent, "bench", [](const std::string&) {}, error);
        t.agent->Start();
    }
    while (stopTerminals == 0) {
        const auto next = SteadyClock::now() + std::chrono::milliseconds(100);
        for (Terminal& t : terminals) {
            t.agent->Poll();
        }
        std::this_thread::sleep_until(next);
    }
    for (Terminal& t : terminals) {
        t.agent->Stop("bench over");
    }
    for (Terminal& t : terminals) {
        t.fleet->Stop();
    }
}

int64_t Percentile(std::vector<int64_t> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

void Run(std::size_t count) {
    const fs::path folder = fs::temp_directory_path() / ("cashdrawer-fleet-bench-" + std::to_string(count));
    fs::remove_all(folder);
    fs::create_directories(folder / "broker");
    const uint16_t port = FreePort();
    Broker broker(folder / "broker", port);
    broker.Start();
    HeadOffice office(port);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    // The terminals, in processes of at most 100 each (libmosquitto's loop
    // uses select(), whose descriptors stop at 1024), each process running
    // its terminals until the parent says stop.
    constexpr std::size_t kPerProcess = 100;
    std::vector<std::string> topics;
    std::vector<std::string> folders;
    for (std::size_t i = 0; i < count; ++i) {
        topics.push_back("cashdrawer/v1/bench/till-" + std::to_string(i) + "/events");
        folders.push_back((folder / ("terminal-" + std::to_string(i))).string());
    }
    std::vector<pid_t> workers;
    for (std::size_t first = 0; first < count; first += kPerProcess) {
        std::fflush(stdout);
        const pid_t pid = ::fork();
        if (pid == 0) {
            RunTerminals(first, std::min(count, first + kPerProcess), folders, port);
            ::_exit(0);
        }
        workers.push_back(pid);
    }
    const auto start = SteadyClock::now();
    std::this_thread::sleep_until(start + kOutageStart);
    office.SetOutage(true);
    broker.Stop();
    std::this_thread::sleep_until(start + kOutageStart + kOutage);
    broker.Start();
    std::this_thread::sleep_until(start + kOutageStart + kOutage + std::chrono::seconds(10));
    office.SetOutage(false);
    std::this_thread::sleep_until(start + kRun);
    for (const pid_t pid : workers) {
        ::kill(pid, SIGTERM); // each stops its agents, which journal their stop and publish it
    }
    for (const pid_t pid : workers) {
        ::waitpid(pid, nullptr, 0);
    }
    const double seconds = std::chrono::duration<double>(kRun).count();
    const long brokerKiB = broker.RssKiB();
    const double brokerCpu = broker.CpuSeconds();
    const double sinceRestart = std::chrono::duration<double>(SteadyClock::now() - start - kOutageStart - kOutage).count();

    // Every journalled event must reach the head office: wait for the last.
    std::vector<uint64_t> lastSeqs;
    uint64_t journalled = 0;
    for (const std::string& terminal : folders) {
        uint64_t last = 0;
        ReadJournal(terminal, [&last](const JournalledEvent& event) { last = event.seq; });
        lastSeqs.push_back(last);
        journalled += last;
    }
    const auto deadline = SteadyClock::now() + std::chrono::seconds(60);
    uint64_t arrived = 0;
    while (SteadyClock::now() < deadline) {
        arrived = 0;
        for (std::size_t i = 0; i < count; ++i) {
            arrived += office.Seen(topics[i], lastSeqs[i]);
        }
        if (arrived == journalled) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::vector<int64_t> calm;
    std::vector<int64_t> all;
    for (const auto& delay : office.Delays()) {
        all.push_back(delay.ms);
        if (!delay.duringOutage) {
            calm.push_back(delay.ms);
        }
    }
    std::printf("%4zu terminals: %7llu events in %.0f s (%6.1f a second), %llu arrived, %llu lost, %llu repeats; "
                "journal to head office: p50 %lld ms, p99 %lld ms outside the outage; p99 %lld ms, max %lld ms in all\n",
                count, static_cast<unsigned long long>(journalled), seconds, static_cast<double>(journalled) / seconds,
                static_cast<unsigned long long>(arrived), static_cast<unsigned long long>(journalled - arrived),
                static_cast<unsigned long long>(office.Repeats()), static_cast<long long>(Percentile(calm, 0.5)),
                static_cast<long long>(Percentile(calm, 0.99)), static_cast<long long>(Percentile(all, 0.99)),
                static_cast<long long>(Percentile(all, 1.0)));
    std::printf("      the broker: %.1f MiB resident (%.1f KiB a terminal), %.1f %% of a core since its restart\n",
                static_cast<double>(brokerKiB) / 1024.0, static_cast<double>(brokerKiB) / static_cast<double>(count),
                100.0 * brokerCpu / sinceRestart);
    int told = 0;
    for (std::size_t i = 0; i < count && told < 5; ++i) {
        if (office.Seen(topics[i], lastSeqs[i]) != lastSeqs[i]) {
            std::printf("      till-%zu: %zu of %llu arrived\n", i, office.Seen(topics[i], lastSeqs[i]),
                        static_cast<unsigned long long>(lastSeqs[i]));
            ++told;
        }
    }
    std::fflush(stdout);
    fs::remove_all(folder);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> counts;
    for (int i = 1; i < argc; ++i) {
        counts.push_back(static_cast<std::size_t>(std::stoul(argv[i])));
    }
    if (counts.empty()) {
        counts = {50, 200, 500};
    }
    mosquitto_lib_init();
    std::printf("fleet: %d s a run, the broker stopped for %d s at %d s; each drawer opens every 2 to 4 s\n",
                static_cast<int>(kRun.count()), static_cast<int>(kOutage.count()), static_cast<int>(kOutageStart.count()));
    for (const std::size_t count : counts) {
        Run(count);
    }
    return 0;
}
