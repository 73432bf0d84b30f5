#include "app/serve.h"

#include <sstream>

namespace cashdrawer::agent {

void ServeLoop(Agent& agent, AgentClock& clock, ServeWait& wait, uint32_t pollMs,
               const std::function<void(const std::string&)>& log,
               const std::function<void(const std::function<void()>&)>& exclusive) {
    const auto onAgent = [&exclusive](const std::function<void()>& step) { exclusive ? exclusive(step) : step(); };
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
            std::string answer;
            onAgent([&] {
                if (!RunConsoleCommand(agent, line, answer)) {
                    answer = "commands: open ID [--confirm] [--timeout MS]";
                }
            });
            log(answer);
        }
    }
}

bool RunConsoleCommand(Agent& agent, const std::string& line, std::string& answer) {
    std::istringstream words(line);
    std::string command, id, option;
    words >> command >> id;
    if (command != "open" || id.empty()) {
        return false;
    }
    bool confirm = false;
    int timeoutMs = 5000;
    while (words >> option) {
        if (option == "--confirm") {
            confirm = true;
        } else if (option == "--timeout" && (words >> timeoutMs)) {
            continue;
        } else {
            return false;
        }
    }
    const KickAnswer kick = agent.Kick(id, "console", confirm, timeoutMs);
    answer = "open " + id + ": " + kick.outcome + " (" + std::to_string(kick.result) + ")";
    if (!kick.reason.empty()) {
        answer += ": " + kick.reason;
    }
    answer += kick.seq != 0 ? ", seq " + std::to_string(kick.seq) : ", not journalled";
    return true;
}

} // namespace cashdrawer::agent
