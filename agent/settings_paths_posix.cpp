#include "settings.h"

namespace cashdrawer::agent {

// Set by the build from the install prefix (/usr/local/etc, /var/lib).
std::string DefaultSettingsFile() { return CASHDRAWER_AGENT_SYSCONFDIR "/cashdrawer/cashdrawer-agent.ini"; }
std::string DefaultJournalFolder() { return CASHDRAWER_AGENT_STATEDIR "/cashdrawer/journal"; }

} // namespace cashdrawer::agent
