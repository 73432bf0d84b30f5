#include "sim/golden_trace.h"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace cashdrawer::sim {
namespace {

// A cursor over one line: literal text and C-notation hex numbers.
class Scanner {
public:
    explicit Scanner(std::string_view text) : rest_(text) {}

    bool Literal(std::string_view word) {
        SkipBlanks();
        if (!rest_.starts_with(word)) {
            return false;
        }
        rest_.remove_prefix(word.size());
        return true;
    }
    // "0x" and hex digits; `digits` receives how many were written.
    bool Hex(uint32_t& value, std::size_t* digits = nullptr) {
        if (!Literal("0x")) {
            return false;
        }
        const auto [end, error] = std::from_chars(rest_.data(), rest_.data() + rest_.size(), value, 16);
        if (error != std::errc() || end == rest_.data()) {
            return false;
        }
        if (digits != nullptr) {
            *digits = static_cast<std::size_t>(end - rest_.data());
        }
        rest_.remove_prefix(static_cast<std::size_t>(end - rest_.data()));
        return true;
    }
    bool Decimal(int& value) {
        SkipBlanks();
        const auto [end, error] = std::from_chars(rest_.data(), rest_.data() + rest_.size(), value);
        if (error != std::errc()) {
            return false;
        }
        rest_.remove_prefix(static_cast<std::size_t>(end - rest_.data()));
        return true;
    }
    std::string_view Word() {
        SkipBlanks();
        const std::size_t length = std::min(rest_.find(' '), rest_.size());
        const std::string_view word = rest_.substr(0, length);
        rest_.remove_prefix(length);
        return word;
    }
    bool AtEnd() {
        SkipBlanks();
        return rest_.empty();
    }

private:
    void SkipBlanks() {
        while (!rest_.empty() && (rest_.front() == ' ' || rest_.front() == '\t' || rest_.front() == '\r')) {
            rest_.remove_prefix(1);
        }
    }

    std::string_view rest_;
};

constexpr std::string_view kMisuseSuffix = "OUTSIDE THE PORT I/O BRACKET";

bool PortAccess(Scanner& in, AccessOp op, AccessRecord& record) {
    uint32_t port = 0;
    uint32_t value = 0;
    if (!in.Hex(port) || port > 0xFFFF || !in.Literal(op == AccessOp::Read ? "->" : "<-") || !in.Hex(value)) {
        return false;
    }
    uint8_t width = 0;
    if (in.Literal("(byte)")) {
        width = 1;
    } else if (in.Literal("(dword)")) {
        width = 4;
    } else {
        return false;
    }
    record = {.op = op, .port = static_cast<uint16_t>(port), .width = width, .value = value};
    if (in.Literal(kMisuseSuffix)) {
        record.address = kMisuse;
    }
    return true;
}

bool MemoryAccess(Scanner& in, AccessOp op, AccessRecord& record) {
    uint32_t address = 0;
    uint32_t value = 0;
    if (!in.Literal("[") || !in.Hex(address) || !in.Literal("]") || !in.Literal(op == AccessOp::MemRead ? "->" : "<-") ||
        !in.Hex(value)) {
        return false;
    }
    record = {.op = op, .value = value, .address = address};
    return true;
}

// Every record that is not a read or a write.
std::optional<AccessRecord> ParseOther(Scanner& in) {
    AccessRecord record;
    uint32_t value = 0;
    if (in.Literal("InitializeWinIo")) {
        record = {.op = AccessOp::Initialize, .width = 1, .value = in.Literal("-> failed") ? 0u : 1u};
    } else if (in.Literal("ShutdownWinIo")) {
        record = {.op = AccessOp::Shutdown, .width = 1};
    } else if (in.Literal("pause")) {
        int ms = 0;
        if (!in.Decimal(ms) || ms < 0 || !in.Literal("ms")) {
            return std::nullopt;
        }
        record = {.op = AccessOp::Pause, .value = static_cast<uint32_t>(ms)};
    } else if (in.Literal("olvexioOpen -> handle") && in.Hex(value)) {
        record = {.op = AccessOp::BoardOpen, .value = value};
    } else if (in.Literal("olvexioClose handle") && in.Hex(value)) {
        record = {.op = AccessOp::BoardClose, .value = value};
    } else if (in.Literal("Super I/O ports claimed")) {
        record = {.op = AccessOp::BusClaim, .value = in.Literal("(timed out)") ? 0u : 1u};
    } else if (in.Literal("Super I/O ports released")) {
        record = {.op = AccessOp::BusRelease};
    } else {
        return std::nullopt;
    }
    return record;
}

} // namespace

std::optional<AccessRecord> ParseAccess(std::string_view line) {
    Scanner in(line);
    AccessRecord record;
    bool understood = false;
    if (in.Literal("read")) {
        Scanner memory = in;
        understood = memory.Literal("[") ? MemoryAccess(in, AccessOp::MemRead, record) : PortAccess(in, AccessOp::Read, record);
    } else if (in.Literal("write")) {
        Scanner memory = in;
        understood =
            memory.Literal("[") ? MemoryAccess(in, AccessOp::MemWrite, record) : PortAccess(in, AccessOp::Write, record);
    } else if (std::optional<AccessRecord> other = ParseOther(in)) {
        record = *other;
        understood = true;
    }
    if (!understood || !in.AtEnd()) {
        return std::nullopt;
    }
    return record;
}

std::optional<GoldenTrace> ParseGoldenTrace(std::string_view text, std::string& error) {
    GoldenTrace golden;
    bool called = false;
    int lineNumber = 0;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        ++lineNumber;
        Scanner in(line);
        if (in.AtEnd() || in.Literal("#")) {
            continue;
        }
        bool understood = false;
        uint32_t where = 0;
        uint32_t value = 0;
        std::size_t digits = 0;
        if (!called && in.Literal("port")) {
            understood = in.Hex(where) && where <= 0xFFFF && in.Literal("=") && in.Hex(value, &digits) && in.AtEnd();
            golden.ports.push_back({static_cast<uint16_t>(where), value, static_cast<uint8_t>(digits > 2 ? 4 : 1)});
        } else if (!called && in.Literal("memory")) {
            understood = in.Hex(where) && in.Literal("=") && in.Hex(value) && in.AtEnd();
            golden.memory.push_back({where, value});
        } else if (!called && in.Literal("call")) {
            golden.function = in.Word();
            golden.drawerId = in.Word();
            understood = (golden.function == "OpenCash" || golden.function == "GetCashStatus") &&
                         !golden.drawerId.empty() && in.Literal("=") && in.Decimal(golden.result) && in.AtEnd();
            called = true;
        } else if (called) {
            if (std::optional<AccessRecord> record = ParseAccess(line)) {
                golden.accesses.push_back(*record);
                understood = true;
            }
        }
        if (!understood) {
            error = "line " + std::to_string(lineNumber) + ": '" + std::string(line) + "'";
            return std::nullopt;
        }
    }
    if (!called) {
        error = "no 'call' line";
        return std::nullopt;
    }
    return golden;
}

namespace {

std::vector<AccessRecord> Only(const std::vector<AccessRecord>& accesses, std::initializer_list<AccessOp> ops) {
    std::vector<AccessRecord> kept;
    std::copy_if(accesses.begin(), accesses.end(), std::back_inserter(kept), [&](const AccessRecord& record) {
        return std::find(ops.begin(), ops.end(), record.op) != ops.end();
    });
    return kept;
}

} // namespace

std::vector<AccessRecord> PortLibraryAccesses(const std::vector<AccessRecord>& accesses) {
    return Only(accesses, {AccessOp::Initialize, AccessOp::Shutdown, AccessOp::Read, AccessOp::Write});
}

std::vector<AccessRecord> BoardLibraryAccesses(const std::vector<AccessRecord>& accesses) {
    return Only(accesses, {AccessOp::BoardOpen, AccessOp::BoardClose, AccessOp::MemRead, AccessOp::MemWrite});
}

} // namespace cashdrawer::sim
