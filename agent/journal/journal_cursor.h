// Reads the journal forward from a sequence number, a batch at a time, and
// remembers where it stopped: a publisher that is hours behind reads each
// line once, holding a chunk of a file at most, never the whole journal.
//
// Each line is checked as `journal verify` checks it (its own hash, the seq
// one past the line before, its prev the hash of the line before). A line
// still being written (no line end yet, in the newest file) is left for the
// next read; anything else that is wrong stops the cursor, and Problem()
// names it.
#pragma once

#include "core/event.h"

#include <cstdint>
#include <functional>
#include <string>

namespace cashdrawer::agent {

class JournalCursor {
public:
    // `chunkBytes`: how much of a file one read takes in at a time. A
    // memory bound only: any size reads the same lines (the tests use
    // chunks smaller than a line).
    explicit JournalCursor(std::string folder, std::size_t chunkBytes = 64 * 1024);

    // The next Read starts with the event after `seq` (0: the first).
    void SeekAfter(uint64_t seq);
    // Hands up to `max` events after the position, in order; how many.
    std::size_t Read(std::size_t max, const std::function<void(const JournalledEvent&)>& each);
    // The seq of the last event handed (or sought past).
    uint64_t Position() const { return position_; }
    // Empty while the journal reads well.
    const std::string& Problem() const { return problem_; }

private:
    // The next whole line of the journal, into `line`; false at its end
    // (for now) or at a problem.
    bool NextLine(std::string& line);
    bool Fill();
    bool Fail(std::string problem);

    std::string folder_;
    std::size_t chunkBytes_;
    uint64_t position_ = 0;
    uint32_t fileNumber_ = 1;
    uint64_t fileOffset_ = 0; // bytes of the file already in buffer_ or used
    std::string buffer_;      // read, not yet used
    uint64_t lastSeq_ = 0;    // of the last line read, handed or skipped
    std::string lastHash_;    // empty before the first line read
    std::string problem_;
};

} // namespace cashdrawer::agent
