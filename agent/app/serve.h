// The serve loop: the agent's life as a process, in the foreground or as a
// service. It polls on a fixed schedule (a late poll does not push the ones
// after it), and between polls waits for the stop request or, in the
// foreground, a command typed at the console.
#pragma once

#include "watch/agent.h"

#include <functional>
#include <memory>
#include <string>

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

// Runs until the wait says stop; `log` gets each line the agent has to say.
// `exclusive` runs each step on the agent (a poll, a console command); the
// bridge makes it take the lock its kicks take.
void ServeLoop(Agent& agent, AgentClock& clock, ServeWait& wait, uint32_t pollMs,
               const std::function<void(const std::string&)>& log,
               const std::function<void(const std::function<void()>&)>& exclusive = {});

// A console command: "open ID [--confirm] [--timeout MS]". What it did, in
// words; false when the line is no command.
bool RunConsoleCommand(Agent& agent, const std::string& line, std::string& answer);

} // namespace cashdrawer::agent
