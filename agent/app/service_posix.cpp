#include "app/service.h"

namespace cashdrawer::agent {

int ServiceCommand(const std::string& action, const std::string&, const ServeFunction&, std::ostream&,
                   std::ostream& err) {
    err << "cashdrawer-agent: `service " << action
        << "` is for Windows; on Linux systemd runs the agent: systemctl enable --now cashdrawer-agent\n";
    return 1;
}

} // namespace cashdrawer::agent
