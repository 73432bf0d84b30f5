// Reads the journal forward from a sequence number, a batch at a time, and
// remembers where it stopped: a publisher that is hours behind, or a web
// page that resumes its event stream, reads each line once, holding a
// chunk of a file at most, never the whole journal.
//
// A seek costs the same on a journal of any length: each file's first
// line names its first seq, so a binary search over the files finds the
// one to start in, and only that file is read up to the place (its lines
// before the place are skipped by their seq, not checked).
//
// Each line handed is checked as `journal verify` checks it (its own hash,
// the seq one past the line before, its prev the hash of the line before;
// the first line after a seek is taken as it stands). A line still being
// written (no line end yet, in the newest file) is left for the next read;
// anything else that is wrong stops the cursor, and Problem() names it.
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
    // The number of the file the cursor reads in (for the tests of a seek).
    uint32_t FileNumber() const { return fileNumber_; }
    // Empty while the journal reads well.
    const std::string& Problem() const { return problem_; }

private:
    // The next whole line of the journal, into `line`; false at its end
    // (for now) or at a problem.
    bool NextLine(std::string_view& line);
    bool Fill();
    bool Fail(std::string problem);

    std::string folder_;
    std::size_t chunkBytes_;
    uint64_t position_ = 0;
    uint32_t fileNumber_ = 1;
    uint64_t fileOffset_ = 0; // bytes of the file already in buffer_ or used
    std::string buffer_;      // read; used up to `used_`
    std::size_t used_ = 0;
    uint64_t lastSeq_ = 0;    // of the last line read, handed or skipped
    std::string lastHash_;    // empty before the first line checked
    std::string problem_;
};

// The seq of the journal's newest whole line (0: none), read from the end
// of its newest files only.
uint64_t NewestJournalSeq(const std::string& folder);

} // namespace cashdrawer::agent
