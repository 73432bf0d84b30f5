// The serve loop: the agent's life as a process, in the foreground or as a
// service. It polls on a fixed schedule (a late poll does not push the ones
// after it), and between polls waits for the stop request or, in the
// foreground, a command typed at the console.
#pragma once

#include "watch/agent.h"
#include "watch/drawer_board.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cashdrawer::agent {

// What the loop waits on between polls.
class ServeWait {
public:
    enum class Woken { TimeUp, Line, Stop };
    virtual ~ServeWait() = default;
    // Waits up to `ms`; a console line comes back in `line`.
    virtual Woken Wait(uint32_t ms, std::string& line) = 0;
    // Whether it still reads the console: not after its input ended.
    virtual bool ReadsConsole() const { return false; }
};

// The platform's: stops on SIGINT/SIGTERM (Ctrl+C, Ctrl+Break, the console
// closing on Windows), reads console lines where `console` is set.
std::unique_ptr<ServeWait> MakeSystemServeWait(bool console);

// The commands a technician types at the agent in the foreground: open,
// status, stats, help. Each answers at once through the log; a kick runs
// away from the console (a confirmed one waits up to its timeout for the
// drawer), so the next command is read while it works, and its answer
// comes when it is done.
class Console {
public:
    struct Parts {
        // Runs a step on the agent, under the lock the serve loop's polls
        // and the bridge's kicks take.
        std::function<void(const std::function<void()>&)> exclusive;
        // The drawers' states as the journal tells them: read without the
        // agent's lock, so a status never waits behind a kick.
        std::function<std::vector<DrawerView>()> drawers;
        // The figures, as `cashdrawer-agent stats` prints them.
        std::function<std::string()> statistics;
        // Runs a kick; the system's runs it on a thread of its own.
        std::function<void(std::function<void()>)> background;
    };

    Console(Agent& agent, Parts parts, std::function<void(const std::string&)> log);
    void Run(const std::string& line);

private:
    void Status(const std::string& id);

    Agent& agent_;
    Parts parts_;
    std::function<void(const std::string&)> log_;
};

// Each job on a thread of its own; the destructor (or Wait) waits for them
// all. Used from one thread (the serve loop's). The platform's: on Windows,
// whose agent reads no console, a job runs where it is asked for.
class BackgroundJobs {
public:
    BackgroundJobs();
    ~BackgroundJobs();
    void Run(std::function<void()> job);
    void Wait();
    // The jobs held, running or done and not yet let go: a console open
    // for weeks keeps no more than those still at work and the last few.
    std::size_t Held() const;

private:
    struct Running;
    std::unique_ptr<Running> running_;
};

// Runs until the wait says stop; `log` gets each line the agent has to say.
// `exclusive` runs each poll on the agent; the bridge makes it take the
// lock its kicks take. Console lines go to `console`; without one, each
// line is run as a command right there, the kick included.
void ServeLoop(Agent& agent, AgentClock& clock, ServeWait& wait, uint32_t pollMs,
               const std::function<void(const std::string&)>& log,
               const std::function<void(const std::function<void()>&)>& exclusive = {}, Console* console = nullptr);

// A console kick: "open ID [--confirm] [--timeout MS]". What it did, in
// words; false when the line is no kick.
bool RunConsoleCommand(Agent& agent, const std::string& line, std::string& answer);

} // namespace cashdrawer::agent
