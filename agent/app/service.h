// The agent as a system service. On Windows the Service Control Manager
// runs `cashdrawer-agent service run`; `service install|uninstall|start|
// stop` set it up and drive it. On Linux systemd does it all with the unit
// file shipped beside the agent, and these commands say so.
#pragma once

#include "app/serve.h"
#include "core/service_name.h"

#include <functional>
#include <memory>
#include <ostream>
#include <string>

namespace cashdrawer::agent {

// Runs `serve` until its wait says stop; returns the process's exit code.
using ServeFunction = std::function<int(ServeWait& wait)>;

// install (with the settings file the service is to use), uninstall,
// start, stop, or run (the SCM's entry). The exit code: 0 done, 1 the
// action is not known here, 7 the system refused (`err` says why).
int ServiceCommand(const std::string& action, const std::string& settingsFile, const ServeFunction& serve,
                   std::ostream& out, std::ostream& err);

// Windows: a wait that ends when the given event is set.
std::unique_ptr<ServeWait> MakeServiceServeWait(void* stopEvent);

} // namespace cashdrawer::agent
