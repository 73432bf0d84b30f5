#include "journal/journal_cursor.h"

#include "journal/journal.h"
#include "journal/journal_line.h"
#include "os/durable_files.h"

#include <algorithm>
#include <filesystem>

namespace cashdrawer::agent {
namespace {

namespace fs = std::filesystem;

fs::path PathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

// Far past any line the agent writes: a longer one is nobody's journal.
constexpr std::size_t kLongestLine = 256 * 1024;

// The seq of a file's first line; 0 when it has no whole line. (Most
// lines are a few hundred bytes: a small read finds the first line end.)
uint64_t FirstSeq(const std::string& path) {
    for (const std::size_t bytes : {std::size_t{4096}, kLongestLine}) {
        const auto head = ReadFileChunk(path, 0, bytes);
        if (!head) {
            return 0;
        }
        if (const std::size_t end = head->find('\n'); end != std::string::npos) {
            ParsedLine parsed;
            return CheckLine(std::string_view(*head).substr(0, end), parsed) == LineProblem::NotJournalLine ? 0
                                                                                                          : parsed.event.seq;
        }
        if (head->size() < bytes) {
            return 0; // the file ends within its first line
        }
    }
    return 0;
}

// The seq of a file's last whole line; 0 when it has none.
uint64_t LastSeq(const std::string& path) {
    // (A file gone since it was listed has the size -1: nothing is read.)
    std::error_code error;
    const uint64_t size = fs::file_size(PathOf(path), error);
    const uint64_t from = std::max<uint64_t>(size, kLongestLine) - kLongestLine;
    const auto tail = ReadFileChunk(path, from, kLongestLine);
    const std::size_t end = tail ? tail->rfind('\n') : std::string::npos;
    if (end == std::string::npos) {
        return 0;
    }
    const std::string_view before(tail->data(), end);
    ParsedLine parsed;
    return CheckLine(before.substr(before.rfind('\n') + 1), parsed) == LineProblem::NotJournalLine // (npos + 1 is 0)
               ? 0
               : parsed.event.seq;
}

} // namespace

uint64_t NewestJournalSeq(const std::string& folder) {
    const auto files = ListJournalFiles(folder);
    // (The newest file may be one just begun, with no line yet.)
    for (auto file = files.rbegin(); file != files.rend(); ++file) {
        if (const uint64_t seq = LastSeq(file->path); seq != 0) {
            return seq;
        }
    }
    return 0;
}

JournalCursor::JournalCursor(std::string folder, std::size_t chunkBytes)
    : folder_(std::move(folder)), chunkBytes_(chunkBytes) {
    SeekAfter(0);
}

void JournalCursor::SeekAfter(uint64_t seq) {
    position_ = seq;
    problem_.clear();
    buffer_.clear();
    used_ = 0;
    fileOffset_ = 0;
    // The file to start in: the last whose first line is not past seq + 1.
    // Files are numbered in seq order, so a binary search opens a few of
    // them; a file with no whole line yet (the newest, just begun) counts
    // as past every seq.
    const auto files = ListJournalFiles(folder_);
    std::size_t low = 0;              // files[low - 1] starts at or before seq + 1 ...
    std::size_t high = files.size();  // ... and files[high] after it
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        const uint64_t first = FirstSeq(files[middle].path);
        if (first != 0 && first <= seq + 1) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    fileNumber_ = low == 0 ? (files.empty() ? 1 : files.front().number) : files[low - 1].number;
    // From the very first line the chain's start is known; from a later
    // file's first line on it is taken as it stands.
    lastSeq_ = 0;
    lastHash_ = fileNumber_ == 1 ? kGenesisHash : "";
}

bool JournalCursor::Fail(std::string problem) {
    const std::u8string name = PathOf(JournalFilePath(folder_, fileNumber_)).filename().u8string();
    problem_ = std::string(name.begin(), name.end()) + ": " + std::move(problem);
    return false;
}

bool JournalCursor::Fill() {
    // What was used goes first, so that the buffer holds one chunk and the
    // part of a line before it, at most.
    buffer_.erase(0, used_);
    used_ = 0;
    // (Never through a link, never a FIFO: see durable_files.h.)
    const auto chunk = ReadFileChunk(JournalFilePath(folder_, fileNumber_), fileOffset_, chunkBytes_);
    if (!chunk) {
        return false; // no journal file yet
    }
    buffer_ += *chunk;
    fileOffset_ += chunk->size();
    return !chunk->empty();
}

bool JournalCursor::NextLine(std::string_view& line) {
    for (;;) {
        if (const std::size_t end = buffer_.find('\n', used_); end != std::string::npos) {
            line = std::string_view(buffer_).substr(used_, end - used_);
            used_ = end + 1;
            return true;
        }
        if (Fill()) {
            continue;
        }
        std::error_code error;
        if (!fs::exists(PathOf(JournalFilePath(folder_, fileNumber_ + 1)), error)) {
            // The newest file's end. A part of a line is read again next
            // time from its start: the writer may yet cut it off (a full
            // disk) and write it anew.
            fileOffset_ -= buffer_.size() - used_;
            buffer_.clear();
            used_ = 0; // (Fill would set it too: kept so that the two always agree)
            return false;
        }
        if (used_ < buffer_.size()) {
            return Fail("its last line is cut off, and a later file follows");
        }
        ++fileNumber_;
        fileOffset_ = 0;
    }
}

std::size_t JournalCursor::Read(std::size_t max, const std::function<void(const JournalledEvent&)>& each) {
    std::size_t handed = 0;
    std::string_view line;
    while (problem_.empty() && handed < max && NextLine(line)) {
        if (const auto seq = PeekSeq(line); seq && *seq <= position_ && *seq <= kMaxSeq) {
            // Before the place sought: skipped unread. The next line is
            // then taken as it stands, as a file's first line is.
            lastSeq_ = *seq;
            lastHash_.clear();
            continue;
        }
        ParsedLine parsed;
        if (CheckLine(line, parsed) != LineProblem::None) {
            Fail("a line after seq " + std::to_string(lastSeq_) + " is not a whole, unaltered journal line");
            break;
        }
        const uint64_t seq = parsed.event.seq;
        if (!lastHash_.empty() && LinkOf(lastSeq_, lastHash_, parsed) == Link::Broken) {
            Fail("seq " + std::to_string(seq) + " does not follow seq " + std::to_string(lastSeq_) + " in the chain");
            break;
        }
        lastSeq_ = seq;
        lastHash_ = parsed.hash;
        // (An alarm's jump past a cut is declared: the seqs it skips were
        // lost or never used.)
        if (seq != position_ + 1 && !IsJournalAlarm(parsed.event.kind)) {
            Fail("seq " + std::to_string(position_ + 1) + " is missing");
            break;
        }
        position_ = seq;
        each(parsed.event);
        ++handed;
    }
    return handed;
}

} // namespace cashdrawer::agent
