#include "sim/sim_drawer_mechanics.h"

#include "hardware/fixed_port.h"
#include "hardware/memory_gpio.h"
#include "sim/drive_line_trace.h"

#include <algorithm>
#include <cstring>

namespace cashdrawer::sim {
namespace {

DriveLine PortBit(uint32_t port, uint32_t mask) { return {DriveLine::Where::Port, port, mask}; }

bool SameLine(const DriveLine& a, const DriveLine& b) {
    return a.where == b.where && a.address == b.address && a.mask == b.mask;
}

} // namespace

std::optional<DriveLine> SenseLineOf(const CatalogueRow& row) {
    if (!row.ReadsStatus()) {
        return std::nullopt;
    }
    if (const auto* args = std::get_if<PortGpio8Args>(&row.args)) {
        return PortBit(args->wiring->statusPort, args->wiring->statusMask);
    }
    if (const auto* args = std::get_if<PortGpio32Args>(&row.args)) {
        return PortBit(args->wiring->statusPort, args->wiring->statusMask);
    }
    if (const auto* args = std::get_if<PortPulseArgs>(&row.args)) {
        return PortBit(args->statusPort, args->senseMask);
    }
    if (const auto* args = std::get_if<PortReadBackArgs>(&row.args)) {
        return PortBit(kReadBackPort, args->senseMask);
    }
    if (const auto* args = std::get_if<PortMaskedArgs>(&row.args)) {
        return PortBit(args->statusPort, args->senseMask);
    }
    if (std::holds_alternative<MemoryGpioArgs>(row.args)) {
        return DriveLine{DriveLine::Where::Memory, MemoryGpioStatusRegister(row.Letter()), kMemoryGpioSenseBit};
    }
    return std::nullopt; // Super I/O, serial
}

void SimDrawerMechanics::Settle() {
    const uint64_t now = clock_.NowMicros();
    for (auto drawer = open_.begin(); drawer != open_.end();) {
        if (drawer->shutsAtMicros != 0 && now >= drawer->shutsAtMicros) {
            Set(drawer->sense, drawer->restBits);
            drawer = open_.erase(drawer);
        } else {
            ++drawer;
        }
    }
    atRest_.clear();
    for (const CatalogueRow& row : Catalogue()) {
        if (const auto sense = SenseLineOf(row)) {
            atRest_.push_back({*sense, Read(*sense)});
        }
    }
}

void SimDrawerMechanics::Observe(const std::vector<AccessRecord>& accesses) {
    if (accesses.empty()) {
        return;
    }
    for (const CatalogueRow& row : Catalogue()) {
        const auto sense = SenseLineOf(row);
        if (!sense || !row.Kicks() || IsJammed(*sense)) {
            continue;
        }
        // A pulse: the line left its level and came back (the first
        // entry is the level first seen).
        if (FollowDriveLine(accesses, row.method->driveLine(row)).size() < 3) {
            continue;
        }
        // Identifiers that share a drawer share its sensor: one drawer.
        const uint64_t shutsAt = closesAfterMs_ == 0 ? 0 : clock_.NowMicros() + uint64_t{closesAfterMs_} * 1000;
        const auto open = Find(*sense);
        if (open != open_.end()) {
            open->shutsAtMicros = shutsAt; // kicked again while open: it stays open
            Set(open->sense, ~open->restBits & sense->mask);
            continue;
        }
        const auto rest = std::find_if(atRest_.begin(), atRest_.end(),
                                       [&](const Reading& r) { return SameLine(r.sense, *sense); });
        const uint32_t restBits = rest != atRest_.end() ? rest->bits : Read(*sense);
        Set(*sense, ~restBits & sense->mask);
        open_.push_back({*sense, restBits, shutsAt});
    }
}

int SimDrawerMechanics::PushShut(const char* drawerId) {
    const CatalogueRow* row = drawerId != nullptr ? FindForGetCashStatus(drawerId) : nullptr;
    const auto sense = row != nullptr ? SenseLineOf(*row) : std::nullopt;
    if (!sense) {
        return -1;
    }
    const auto open = Find(*sense);
    if (open == open_.end()) {
        return 0;
    }
    Set(open->sense, open->restBits);
    open_.erase(open);
    return 1;
}

int SimDrawerMechanics::SetJammed(const char* drawerId, bool jammed) {
    const CatalogueRow* row = drawerId != nullptr ? FindForGetCashStatus(drawerId) : nullptr;
    const auto sense = row != nullptr && row->Kicks() ? SenseLineOf(*row) : std::nullopt;
    if (!sense) {
        return -1;
    }
    std::erase_if(jammed_, [&](const DriveLine& line) { return SameLine(line, *sense); });
    if (jammed) {
        jammed_.push_back(*sense);
    }
    return 1;
}

bool SimDrawerMechanics::IsJammed(const DriveLine& sense) const {
    return std::any_of(jammed_.begin(), jammed_.end(), [&](const DriveLine& line) { return SameLine(line, sense); });
}

void SimDrawerMechanics::Configure(const char* closesAfterMs, const char* jammedIds, std::string* problems) {
    const auto note = [&](const std::string& line) {
        if (problems != nullptr) {
            *problems += line + "\n";
        }
    };
    if (closesAfterMs != nullptr && *closesAfterMs != '\0') {
        // Digits only, at most a day: a stray sign or unit is no time.
        const std::string text = closesAfterMs;
        const bool digits = text.size() <= 8 && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (digits && std::stoul(text) <= kLongestClosesAfterMs) {
            closesAfterMs_ = static_cast<uint32_t>(std::stoul(text));
        } else {
            note("CASHDRAWER_SIM_DRAWER_CLOSES_MS=" + text + " is not a count of milliseconds up to " +
                 std::to_string(kLongestClosesAfterMs) + ": the drawers shut after " + std::to_string(closesAfterMs_) +
                 " ms");
        }
    }
    std::string ids = jammedIds != nullptr ? jammedIds : "";
    for (std::size_t start = 0; start <= ids.size();) {
        std::size_t end = ids.find(',', start);
        end = end == std::string::npos ? ids.size() : end;
        std::string id = ids.substr(start, end - start);
        id.erase(0, id.find_first_not_of(' '));
        id.erase(id.find_last_not_of(' ') + 1);
        if (!id.empty() && SetJammed(id.c_str(), true) < 0) {
            note("CASHDRAWER_SIM_DRAWER_JAMMED: " + id + " is no drawer whose sensor moves: left out");
        }
        start = end + 1;
    }
}

bool SimDrawerMechanics::IsOpen(const char* drawerId) const {
    const CatalogueRow* row = drawerId != nullptr ? FindForGetCashStatus(drawerId) : nullptr;
    const auto sense = row != nullptr ? SenseLineOf(*row) : std::nullopt;
    return sense && std::any_of(open_.begin(), open_.end(), [&](const OpenDrawer& d) { return SameLine(d.sense, *sense); });
}

std::vector<SimDrawerMechanics::OpenDrawer>::iterator SimDrawerMechanics::Find(const DriveLine& sense) {
    return std::find_if(open_.begin(), open_.end(), [&](const OpenDrawer& d) { return SameLine(d.sense, sense); });
}

uint32_t SimDrawerMechanics::Read(const DriveLine& sense) const {
    if (sense.where == DriveLine::Where::Memory) {
        return board_.Peek(sense.address) & sense.mask;
    }
    return ports_.Peek(static_cast<uint16_t>(sense.address), PortWidth::DWord) & sense.mask;
}

// The sensor's bits set as given: poked, not written, so the trace shows
// only what the library did.
void SimDrawerMechanics::Set(const DriveLine& sense, uint32_t bits) {
    if (sense.where == DriveLine::Where::Memory) {
        board_.Poke(sense.address, (board_.Peek(sense.address) & ~sense.mask) | bits);
    } else {
        const uint16_t port = static_cast<uint16_t>(sense.address);
        ports_.Poke(port, (ports_.Peek(port, PortWidth::DWord) & ~sense.mask) | bits, PortWidth::DWord);
    }
}

} // namespace cashdrawer::sim
