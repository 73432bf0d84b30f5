// The tool's real backend where the drawer library is linked in: on the
// system's port and board I/O, or on the ones a test hands in.
#pragma once

#include "cli/backend.h"
#include "hardware/board_io.h"
#include "hardware/port_io.h"

#include <memory>

namespace cashdrawer::cli {

std::unique_ptr<DrawerBackend> MakeHardwareBackend(std::unique_ptr<PortIo> ports, std::unique_ptr<BoardIo> board);

} // namespace cashdrawer::cli
