#include "cli/timing_diagram.h"

#include <algorithm>
#include <cstdio>

namespace cashdrawer::cli {
namespace {

std::string Millis(uint64_t micros) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu ms", static_cast<unsigned long long>(micros / 1000),
                  static_cast<unsigned long long>(micros % 1000));
    return text;
}

} // namespace

std::vector<Pulse> PulsesOf(const std::vector<LevelChange>& changes) {
    std::vector<Pulse> pulses;
    for (std::size_t i = 1; i + 1 < changes.size(); ++i) {
        pulses.push_back({changes[i].level, changes[i].timeMicros, changes[i + 1].timeMicros - changes[i].timeMicros});
    }
    return pulses;
}

std::string DescribeDriveLine(const DriveLine& line) {
    char text[96];
    switch (line.where) {
    case DriveLine::Where::Port:
        std::snprintf(text, sizeof text, "port 0x%04X, bit mask 0x%02X", line.address, line.mask);
        break;
    case DriveLine::Where::SuperIoRegister:
        std::snprintf(text, sizeof text, "Super I/O register 0x%02X (device 7), bit mask 0x%02X", line.address,
                      line.mask);
        break;
    case DriveLine::Where::Memory:
        std::snprintf(text, sizeof text, "memory register 0x%08X, bit mask 0x%X", line.address, line.mask);
        break;
    case DriveLine::Where::None:
        return "none (driven by commands, not by a line)";
    }
    return text;
}

std::string DrawTimingDiagram(const std::vector<LevelChange>& changes, uint64_t originMicros, uint64_t endMicros,
                              const DriveLine& line, int width) {
    std::string out = "Drive line: " + DescribeDriveLine(line) + "\n";
    if (changes.empty()) {
        return out + "  (the line was not touched)\n";
    }
    const uint64_t from = std::min(originMicros, changes.front().timeMicros);
    const uint64_t end = std::max(endMicros, changes.back().timeMicros);
    // A little of the resting level after the last change stays in view.
    const uint64_t to = end + std::max<uint64_t>((end - from) / 10, 1000);

    const auto levelAt = [&](uint64_t t) {
        int level = changes.front().level;
        for (const LevelChange& change : changes) {
            if (change.timeMicros <= t) {
                level = change.level;
            }
        }
        return level;
    };
    std::string high(static_cast<std::size_t>(width), ' ');
    std::string low(static_cast<std::size_t>(width), ' ');
    int previous = levelAt(from);
    for (int column = 0; column < width; ++column) {
        const uint64_t t = from + (to - from) * static_cast<uint64_t>(column) / static_cast<uint64_t>(width - 1);
        const int level = levelAt(t);
        const bool edge = level != previous;
        high[static_cast<std::size_t>(column)] = edge ? '+' : (level == 1 ? '-' : ' ');
        low[static_cast<std::size_t>(column)] = edge ? '+' : (level == 0 ? '-' : ' ');
        previous = level;
    }
    out += "  high |" + high + "|\n";
    out += "  low  |" + low + "|\n";
    char axis[160];
    std::snprintf(axis, sizeof axis, "       +%-*s+%s\n", width - 11, Millis(0).c_str(), Millis(to - from).c_str());
    out += axis;
    for (const Pulse& pulse : PulsesOf(changes)) {
        out += "  " + std::string(pulse.level == 1 ? "high" : "low") + " for " + Millis(pulse.lengthMicros) +
               ", from +" + Millis(pulse.fromMicros - from) + "\n";
    }
    return out;
}

} // namespace cashdrawer::cli
