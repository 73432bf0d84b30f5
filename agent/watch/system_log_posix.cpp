// syslog(3): on a systemd machine journald takes it (journalctl -t
// cashdrawer-agent), elsewhere the syslog daemon and its forwarding.
#include "watch/system_log.h"

#include <syslog.h>

namespace cashdrawer::agent {
namespace {

class Syslog final : public SystemLog {
public:
    Syslog() { ::openlog("cashdrawer-agent", LOG_PID, LOG_DAEMON); }
    ~Syslog() override { ::closelog(); }
    void Write(const SystemLogEntry& entry) override {
        const int priority = entry.severity == LogSeverity::Error     ? LOG_ERR
                             : entry.severity == LogSeverity::Warning ? LOG_WARNING
                                                                      : LOG_INFO;
        ::syslog(priority, "%s", entry.text.c_str());
    }
};

} // namespace

std::unique_ptr<SystemLog> OpenSystemLog() { return std::make_unique<Syslog>(); }

} // namespace cashdrawer::agent
