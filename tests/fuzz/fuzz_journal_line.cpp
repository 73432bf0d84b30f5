// A journal line as the agent reads it back from a file anybody may have
// edited: its form, its hash, its link to the line before and the chain id
// it names. Nothing may crash, and a line taken as whole must say again
// what it said (composed anew from what was read, it checks as whole).
#include "journal/journal_line.h"

#include <cstdlib>
#include <string>

#include "fuzz_input.h"

using cashdrawer::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace cashdrawer::agent;
    const std::string line(reinterpret_cast<const char*>(data), size);
    ParsedLine parsed;
    const LineProblem problem = CheckLine(line, parsed);
    if (problem == LineProblem::NotJournalLine) {
        return 0;
    }
    Require(parsed.hash.size() == 64);
    const Link link = LinkOf(parsed.event.seq - 1, parsed.prev, parsed);
    Require(parsed.event.seq > kMaxSeq || parsed.event.seq == 0 ? link == Link::Broken : link == Link::Follows);
    Require(ChainIdOf(parsed.event).size() == 32);
    if (problem == LineProblem::None) {
        // What was read, written again by the agent, is a whole line too.
        const std::string again = ComposeLine(parsed.event.seq, parsed.event.time, Event{parsed.event.kind, parsed.event.fields},
                                              parsed.prev);
        ParsedLine reread;
        Require(CheckLine(again, reread) == LineProblem::None);
        Require(reread.event.seq == parsed.event.seq && reread.event.kind == parsed.event.kind);
    }
    return 0;
}
