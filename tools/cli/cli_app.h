// cashdrawer: kick a drawer and read its state without writing a program.
#pragma once

#include "cli/backend.h"
#include "cli/commands.h"

#include <functional>
#include <iosfwd>
#include <memory>

namespace cashdrawer::cli {

using BackendFactory = std::function<std::unique_ptr<DrawerBackend>(bool simulate, std::string& error)>;

int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
           const BackendFactory& makeBackend = MakeBackend);

} // namespace cashdrawer::cli
