#include "core/settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cashdrawer::agent {

// Set by the build: the install's etc (/usr/local/etc), and /var/lib.
std::string DefaultSettingsFile() { return CASHDRAWER_AGENT_SYSCONFDIR "/cashdrawer/cashdrawer-agent.ini"; }
std::string DefaultJournalFolder() { return CASHDRAWER_AGENT_STATEDIR "/cashdrawer/journal"; }

std::string PrivateFileProblem(const std::string& path) {
    struct stat found {};
    if (::stat(path.c_str(), &found) != 0) {
        return std::string("the file cannot be read: ") + std::strerror(errno);
    }
    if (!S_ISREG(found.st_mode)) {
        return "not a plain file";
    }
    if ((found.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(found.st_mode & 0777));
        return std::string("other accounts may read it (mode ") + mode + "): chmod 600 it";
    }
    if (found.st_uid != ::geteuid()) {
        return "it belongs to another account than the agent's";
    }
    return "";
}

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
