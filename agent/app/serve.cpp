#include "app/serve.h"

#include "config/nearest_name.h"

#include <sstream>

namespace cashdrawer::agent {
namespace {

constexpr const char* kConsoleHelp =
    "commands: open ID [--confirm] [--timeout MS] | status [ID] | stats | help";

struct ConsoleKick {
    std::string id;
    bool confirm = false;
    int timeoutMs = 5000;
};

std::optional<ConsoleKick> ParseConsoleKick(const std::string& line) {
    std::istringstream words(line);
    std::string command, option;
    ConsoleKick kick;
    words >> command >> kick.id;
    if (command != "open" || kick.id.empty()) {
        return std::nullopt;
    }
    while (words >> option) {
        if (option == "--confirm") {
            kick.confirm = true;
        } else if (option == "--timeout" && (words >> kick.timeoutMs)) {
            continue;
        } else {
            return std::nullopt;
        }
    }
    return kick;
}

std::string DescribeKick(const std::string& id, const KickAnswer& kick) {
    std::string answer = "open " + id + ": " + kick.outcome + " (" + std::to_string(kick.result) + ")";
    if (!kick.reason.empty()) {
        answer += ": " + kick.reason;
    }
    answer += kick.seq != 0 ? ", seq " + std::to_string(kick.seq) : ", not journalled";
    return answer;
}

} // namespace

Console::Console(Agent& agent, Parts parts, std::function<void(const std::string&)> log)
    : agent_(agent), parts_(std::move(parts)), log_(std::move(log)) {}

void Console::Run(const std::string& line) {
    std::istringstream words(line);
    std::string command, argument;
    words >> command >> argument;
    if (command == "open") {
        const auto kick = ParseConsoleKick(line);
        if (!kick) {
            log_(std::string("open: ") + kConsoleHelp);
            return;
        }
        parts_.background([this, kick = *kick] {
            KickAnswer answer;
            parts_.exclusive([&] { answer = agent_.Kick(kick.id, "console", kick.confirm, kick.timeoutMs); });
            log_(DescribeKick(kick.id, answer));
        });
    } else if (command == "status") {
        Status(argument);
    } else if (command == "stats") {
        log_(parts_.statistics ? parts_.statistics() : "no statistics are kept here");
    } else if (command == "help" || command == "?") {
        log_(kConsoleHelp);
    } else {
        const auto near = NearestNames(command, {"open", "status", "stats", "help"});
        log_("no command \"" + command + "\"" + (near.empty() ? "" : ": did you mean " + OneOf(near) + "?") + "; " +
             kConsoleHelp);
    }
}

void Console::Status(const std::string& id) {
    const std::vector<DrawerView> views = parts_.drawers ? parts_.drawers() : std::vector<DrawerView>{};
    std::vector<std::string> ids;
    for (const DrawerView& view : views) {
        if (id.empty() || view.id == id) {
            log_(DescribeDrawerView(view));
            if (!id.empty()) {
                return;
            }
        }
        ids.push_back(view.id);
    }
    if (!id.empty()) {
        const auto near = NearestNames(id, ids);
        log_("status: " + id + " is not a drawer this agent watches" +
             (near.empty() ? " (it watches " + OneOf(ids) + ")" : ": did you mean " + OneOf(near) + "?"));
    } else if (views.empty()) {
        log_("status: no drawer states are kept here");
    }
}

void ServeLoop(Agent& agent, AgentClock& clock, ServeWait& wait, uint32_t pollMs,
               const std::function<void(const std::string&)>& log,
               const std::function<void(const std::function<void()>&)>& exclusive, Console* console) {
    const auto onAgent = [&exclusive](const std::function<void()>& step) { exclusive ? exclusive(step) : step(); };
    // Without a console of the caller's, commands run right here.
    Console inPlace(agent, Console::Parts{onAgent, nullptr, nullptr, [](const std::function<void()>& job) { job(); }},
                    log);
    Console& commands = console != nullptr ? *console : inPlace;
    const int64_t periodMicros = static_cast<int64_t>(pollMs) * 1000;
    int64_t next = clock.SteadyMicros() + periodMicros;
    for (;;) {
        const int64_t now = clock.SteadyMicros();
        if (now >= next) {
            onAgent([&agent] { agent.Poll(); });
            next += periodMicros;
            if (next <= now) {
                next = now + periodMicros; // far behind (a long kick): start the schedule anew
            }
            continue;
        }
        std::string line;
        const auto woken = wait.Wait(static_cast<uint32_t>((next - now + 999) / 1000), line);
        if (woken == ServeWait::Woken::Stop) {
            return;
        }
        if (woken == ServeWait::Woken::Line && !line.empty()) {
            commands.Run(line);
        }
    }
}

bool RunConsoleCommand(Agent& agent, const std::string& line, std::string& answer) {
    const auto kick = ParseConsoleKick(line);
    if (!kick) {
        return false;
    }
    answer = DescribeKick(kick->id, agent.Kick(kick->id, "console", kick->confirm, kick->timeoutMs));
    return true;
}

} // namespace cashdrawer::agent
