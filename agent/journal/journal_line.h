// One journal line: its canonical text and its place in the hash chain.
//
//   {"seq":7,"time":"2026-12-07T10:15:02.120Z","kind":"opened","drawer":"RN340_CashA",
//    "raw":0,"prev":"<previous line's hash>","hash":"<this line's hash>"}
//
// `hash` is the SHA-256 of the line's text up to the `,"hash"` that ends
// it, with `}` appended: the line as written without its own hash. As each
// line names the hash of the line before, changing, removing, inserting or
// reordering a line breaks the chain at that line or the next.
#pragma once

#include "core/event.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cashdrawer::agent {

// The `prev` of a journal's very first line.
inline const std::string kGenesisHash(64, '0');

// The largest seq a line may carry: web tills read numbers as JavaScript
// does, exactly up to 2^53 - 1, and no till journals that many events. A
// seq beyond it is a line somebody wrote, never the agent.
inline constexpr uint64_t kMaxSeq = (uint64_t{1} << 53) - 1;

// The whole line, without its line end.
std::string ComposeLine(uint64_t seq, std::string_view time, const Event& event, std::string_view prev);

// The hash a line of the agent's own ends with (the line as written,
// without its line end).
inline std::string HashOfLine(std::string_view line) {
    return line.size() < 66 ? std::string() : std::string(line.substr(line.size() - 66, 64));
}

// What a line says, when it is a whole, unaltered journal line.
struct ParsedLine {
    JournalledEvent event;
    std::string prev;
    std::string hash;
};

enum class LineProblem { None, NotJournalLine, HashMismatch };

// Checks a line's form and its own hash (not its place in the chain).
// `parsed` is filled for a line of journal form, its hash right or not.
LineProblem CheckLine(std::string_view line, ParsedLine& parsed);

// The seq a line begins with (`{"seq":N,`), read without parsing or
// checking the line: for skipping lines on the way to a place in a file.
// Nothing for a line that does not begin so.
std::optional<uint64_t> PeekSeq(std::string_view line);

// How a line stands to the one before it (`prevSeq` and `prevHash`: 0 and
// kGenesisHash before the first). It follows when it has the next seq and
// names that line's hash. An alarm the agent wrote on finding its journal
// cut or altered names the hash too but numbers on past every seq that
// may have been seen already (lost lines, or lines the head office holds
// under other hashes): that jump is declared, not a break.
enum class Link { Follows, DeclaredBreak, Broken };
Link LinkOf(uint64_t prevSeq, std::string_view prevHash, const ParsedLine& line);
bool IsJournalAlarm(std::string_view kind);

// A journal's identity: the random "chain" its first line carries (the
// first 32 hex digits of that line's hash, for a journal begun before
// chains were named). A till whose journal is wiped starts a new chain,
// which the head office tells from the old one.
std::string ChainIdOf(const JournalledEvent& firstLine);
// A new chain's id: 32 random hex digits.
std::string NewChainId();

// Unix time in milliseconds as RFC 3339 UTC: "2026-12-07T10:15:02.120Z".
std::string FormatUtcMillis(int64_t unixMillis);

} // namespace cashdrawer::agent
