// The agent's own channel for a technician at the till: `cashdrawer-agent
// kick`, `status` and `events --follow` reach the running agent through it,
// so a drawer is kicked and read through the agent that journals it, never
// around it. Only the agent's own account (and root or the administrators)
// can open it: a Unix socket of mode 0600 in the journal folder on Linux, a
// named pipe whose security descriptor names only those on Windows.
//
// One request a connection, a line: "kick ID [--confirm] [--timeout MS]",
// "status [ID]" or "events --follow". The answer is lines of "out TEXT",
// then "exit N", the code the command ends with; an event stream goes on
// until the client leaves or the agent stops.
#pragma once

#include "watch/agent.h"
#include "watch/drawer_board.h"
#include "watch/event_hub.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace cashdrawer::agent {

// The longest request line taken; a longer one is refused unread.
constexpr std::size_t kLocalRequestBytes = 512;

// One client, as the platform's channel hands it over.
class LocalConnection {
public:
    virtual ~LocalConnection() = default;
    // The request: false when none came whole within its time or bound.
    virtual bool ReadLine(std::string& line) = 0;
    // False once the client has gone.
    virtual bool WriteLine(const std::string& line) = 0;
    // Blocks until `stop` is true (asked now and then) or the client goes:
    // an event stream's wait between events. False when the client went.
    virtual bool WaitWhileConnected(const std::function<bool()>& stop) = 0;
    // The account the client runs as, as the system names it.
    virtual std::string Account() const = 0;
};

class LocalCommands {
public:
    struct Parts {
        // Kicks under the agent's lock; `by` names the local account.
        std::function<KickAnswer(const std::string& id, const std::string& by, bool confirm, int timeoutMs)> kick;
        // The drawers as the journal tells them.
        std::function<std::vector<DrawerView>()> drawers;
        // Where each journalled event is published.
        EventHub* events = nullptr;
    };

    explicit LocalCommands(Parts parts) : parts_(std::move(parts)) {}
    // Answers one connection's request, whole.
    void Serve(LocalConnection& connection);
    // Ends every event stream (the agent stops).
    void Stop();

private:
    int Kick(LocalConnection& connection, const std::vector<std::string>& words);
    int Status(LocalConnection& connection, const std::vector<std::string>& words);
    int FollowEvents(LocalConnection& connection);

    Parts parts_;
    std::atomic<bool> stopping_{false};
};

// The platform's listener: serves each connection on a thread of its own
// (a confirmed kick waits for its drawer), a few at a time.
class LocalChannel {
public:
    virtual ~LocalChannel() = default;
};
// Null, with the reason in `error`, when the channel cannot be made (the
// agent then serves its till without it).
std::unique_ptr<LocalChannel> StartLocalChannel(const std::string& address, LocalCommands& commands, std::string& error);

// Where the agent of this journal folder listens.
std::string LocalChannelAddress(const std::string& journalFolder);

// The client's reading of an answer: prints each whole "out" line of
// `pending` on `out` and takes it away; the code of an "exit N" line once
// one is there (kExitNoAgent for a code no agent sends).
std::optional<int> TakeAnswerLines(std::string& pending, std::ostream& out);

// The client: sends `request`, prints the answer's lines on `out`, and
// returns the code it ends with (kExitNoAgent when no agent answers).
int RunLocalCommand(const std::string& address, const std::string& request, std::ostream& out, std::ostream& err);

} // namespace cashdrawer::agent
