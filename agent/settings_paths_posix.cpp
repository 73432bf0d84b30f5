#include "settings.h"

namespace cashdrawer::agent {

// Set by the build: the install's etc (/usr/local/etc), and /var/lib.
std::string DefaultSettingsFile() { return CASHDRAWER_AGENT_SYSCONFDIR "/cashdrawer/cashdrawer-agent.ini"; }
std::string DefaultJournalFolder() { return CASHDRAWER_AGENT_STATEDIR "/cashdrawer/journal"; }

} // namespace cashdrawer::agent
