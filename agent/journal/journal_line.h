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

// The whole line, without its line end.
std::string ComposeLine(uint64_t seq, std::string_view time, const Event& event, std::string_view prev);

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

// Unix time in milliseconds as RFC 3339 UTC: "2026-12-07T10:15:02.120Z".
std::string FormatUtcMillis(int64_t unixMillis);

} // namespace cashdrawer::agent
