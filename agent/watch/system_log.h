// Every journalled event in the system's own log too, where the tools a
// chain already runs collect it (journald or syslog forwarding on Linux,
// Windows Event Forwarding and log shippers on Windows): one entry per
// event, its journal line as the text, with a severity and, on Windows, a
// message id per kind.
#pragma once

#include "core/event.h"

#include <cstdint>
#include <memory>
#include <string>

namespace cashdrawer::agent {

enum class LogSeverity { Information, Warning, Error };

struct SystemLogEntry {
    uint16_t eventId;      // the Windows Event Log's id, one per kind
    LogSeverity severity;
    std::string text;      // "opened RN340_CashA (seq 7): {journal line}"
};

// What the system log says of an event.
SystemLogEntry SystemLogEntryOf(const JournalledEvent& event);

class SystemLog {
public:
    virtual ~SystemLog() = default;
    virtual void Write(const SystemLogEntry& entry) = 0;
};

// syslog(3) under the name cashdrawer-agent (journald takes it where
// systemd runs); on Windows the Application log under the event source
// the service's install registered.
std::unique_ptr<SystemLog> OpenSystemLog();

// Windows: the event source's registration, done by `service install` and
// undone by `service uninstall`; the agent's own program holds the message
// table. Nothing to do on Linux. False, with `error`, on a refusal.
bool RegisterEventLogSource(const std::string& programPath, std::string& error);
void UnregisterEventLogSource();

} // namespace cashdrawer::agent
