#include "sim/drive_line_trace.h"

#include "hardware/super_io.h"

#include <optional>

namespace cashdrawer::sim {
namespace {

// The value the line's register takes, or is read at, in this access.
std::optional<uint32_t> LineValue(const AccessRecord& access, const DriveLine& line, uint32_t& superIoIndex) {
    switch (line.where) {
    case DriveLine::Where::Port:
        if ((access.op == AccessOp::Read || access.op == AccessOp::Write) && access.port == line.address) {
            return access.value;
        }
        break;
    case DriveLine::Where::SuperIoRegister:
        if (access.op == AccessOp::Write && access.port == kSuperIoIndexPort) {
            superIoIndex = access.value;
        } else if ((access.op == AccessOp::Read || access.op == AccessOp::Write) && access.port == kSuperIoDataPort &&
                   superIoIndex == line.address) {
            return access.value;
        }
        break;
    case DriveLine::Where::Memory:
        if ((access.op == AccessOp::MemRead || access.op == AccessOp::MemWrite) && access.address == line.address) {
            return access.value;
        }
        break;
    case DriveLine::Where::None:
        break;
    }
    return std::nullopt;
}

} // namespace

std::vector<LevelChange> FollowDriveLine(const std::vector<AccessRecord>& accesses, const DriveLine& line) {
    std::vector<LevelChange> changes;
    uint32_t superIoIndex = 0;
    for (const AccessRecord& access : accesses) {
        const auto value = LineValue(access, line, superIoIndex);
        if (!value) {
            continue;
        }
        const int level = (*value & line.mask) != 0 ? 1 : 0;
        if (changes.empty() || changes.back().level != level) {
            changes.push_back({access.timeMicros, level});
        }
    }
    return changes;
}

} // namespace cashdrawer::sim
