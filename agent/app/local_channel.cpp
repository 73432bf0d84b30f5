#include "app/local_channel.h"

#include "app/agent_app.h"
#include "config/nearest_name.h"

#include <charconv>
#include <deque>
#include "core/agent_mutex.h"

#include <mutex>
#include <sstream>

namespace cashdrawer::agent {
namespace {

constexpr const char* kLocalUsage =
    "the commands are: kick ID [--confirm] [--timeout MS] | status [ID] | events --follow";
// A confirmed kick waits at most this long for its drawer.
constexpr int kLongestKickWaitMs = 60'000;

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

bool ParseMs(const std::string& text, int& ms) {
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, ms);
    return failure == std::errc() && stop == end && ms >= 0 && ms <= kLongestKickWaitMs;
}

bool Say(LocalConnection& connection, const std::string& text) { return connection.WriteLine("out " + text); }

} // namespace

void LocalCommands::Serve(LocalConnection& connection) {
    std::string line;
    if (!connection.ReadLine(line)) {
        connection.WriteLine("out the request did not come as one line of at most " +
                             std::to_string(kLocalRequestBytes) + " bytes");
        connection.WriteLine("exit " + std::to_string(kExitUsage));
        return;
    }
    const std::vector<std::string> words = Words(line);
    const std::string command = words.empty() ? "" : words[0];
    int code = kExitUsage;
    if (command == "kick") {
        code = Kick(connection, words);
    } else if (command == "status") {
        code = Status(connection, words);
    } else if (command == "events") {
        if (words.size() == 2 && words[1] == "--follow") {
            code = FollowEvents(connection);
        } else {
            Say(connection, "events: with --follow alone (the events as they come; journal show prints the past)");
        }
    } else {
        const auto nearest = NearestNames(command, {"kick", "status", "events"});
        Say(connection, "no command \"" + command + "\"" + (nearest.empty() ? "" : ": did you mean " + OneOf(nearest) + "?") +
                            "; " + kLocalUsage);
    }
    connection.WriteLine("exit " + std::to_string(code));
}

void LocalCommands::Stop() { stopping_ = true; }

std::optional<int> TakeAnswerLines(std::string& pending, std::ostream& out) {
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (line.starts_with("out ")) {
            out << line.substr(4) << "\n" << std::flush;
        } else if (line.starts_with("exit ")) {
            const std::string code = line.substr(5);
            const bool plain = !code.empty() && code.size() <= 2 && code.find_first_not_of("0123456789") == std::string::npos;
            return plain ? std::stoi(code) : kExitNoAgent;
        }
    }
    return std::nullopt;
}

int LocalCommands::Kick(LocalConnection& connection, const std::vector<std::string>& words) {
    if (words.size() < 2) {
        Say(connection, std::string("kick: which drawer? ") + kLocalUsage);
        return kExitUsage;
    }
    bool confirm = false;
    int timeoutMs = 5000;
    for (std::size_t i = 2; i < words.size(); ++i) {
        if (words[i] == "--confirm") {
            confirm = true;
        } else if (words[i] == "--timeout" && i + 1 < words.size() && ParseMs(words[i + 1], timeoutMs)) {
            ++i;
        } else {
            Say(connection, "kick: " + words[i] + " is not taken here (--confirm, --timeout MS up to " +
                                std::to_string(kLongestKickWaitMs) + ")");
            return kExitUsage;
        }
    }
    const KickAnswer answer = parts_.kick(words[1], "local:" + connection.Account(), confirm, timeoutMs);
    std::string said = "kick " + words[1] + ": " + answer.outcome;
    if (!answer.reason.empty()) {
        said += ": " + answer.reason;
    }
    said += answer.seq != 0 ? " (seq " + std::to_string(answer.seq) + ")" : " (not journalled)";
    Say(connection, said);
    return answer.outcome == "opened" || answer.outcome == "kicked" ? kExitOk : kExitKickFailed;
}

int LocalCommands::Status(LocalConnection& connection, const std::vector<std::string>& words) {
    if (words.size() > 2) {
        Say(connection, std::string("status: one drawer at most; ") + kLocalUsage);
        return kExitUsage;
    }
    const std::string id = words.size() == 2 ? words[1] : "";
    std::vector<std::string> ids;
    for (const DrawerView& view : parts_.drawers()) {
        if (id.empty() || view.id == id) {
            Say(connection, DescribeDrawerView(view));
            if (!id.empty()) {
                return kExitOk;
            }
        }
        ids.push_back(view.id);
    }
    if (id.empty()) {
        return kExitOk;
    }
    const auto nearest = NearestNames(id, ids);
    Say(connection, "status: " + id + " is not a drawer this agent watches" +
                        (nearest.empty() ? " (it watches " + OneOf(ids) + ")" : ": did you mean " + OneOf(nearest) + "?"));
    return kExitUsage;
}

// Every event from now on, as `journal show` prints it, until the client
// goes. The hub hands events on the agent's thread: they are queued here
// (a bounded number: a client that does not read is let go) and written
// on the connection's own.
int LocalCommands::FollowEvents(LocalConnection& connection) {
    constexpr std::size_t kMostQueued = 1024;
    AgentMutex lock;
    std::deque<std::string> queued;
    bool overflowed = false;
    const uint64_t id = parts_.events->Subscribe([&](const JournalledEvent& event) {
        std::lock_guard hold(lock);
        if (queued.size() < kMostQueued) {
            queued.push_back(DescribeEvent(event));
        } else {
            overflowed = true;
        }
    });
    bool connected = Say(connection, "following the agent's events (Ctrl+C ends)");
    while (connected && !stopping_) {
        std::deque<std::string> lines;
        {
            std::lock_guard hold(lock);
            lines.swap(queued);
            if (overflowed) {
                break;
            }
        }
        for (const std::string& line : lines) {
            connected = connected && Say(connection, line);
        }
        if (lines.empty()) {
            connected = connection.WaitWhileConnected([&] {
                std::lock_guard hold(lock);
                return !queued.empty() || overflowed || stopping_;
            });
        }
    }
    parts_.events->Unsubscribe(id);
    if (overflowed) {
        Say(connection, "the events came faster than they were read: the stream ends (journal show has them all)");
        return kExitKickFailed;
    }
    return kExitOk;
}

} // namespace cashdrawer::agent
