#include "core/settings.h"

#include <unistd.h>

namespace cashdrawer::agent {

// Set by the build: the install's etc (/usr/local/etc), and /var/lib.
std::string DefaultSettingsFile() { return CASHDRAWER_AGENT_SYSCONFDIR "/cashdrawer/cashdrawer-agent.ini"; }
std::string DefaultJournalFolder() { return CASHDRAWER_AGENT_STATEDIR "/cashdrawer/journal"; }

// The host name, up to its first dot: "till-3", not "till-3.store.example".
std::string MachineName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "terminal";
    }
    const std::string full(name);
    return full.substr(0, full.find('.'));
}

} // namespace cashdrawer::agent
