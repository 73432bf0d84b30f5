#include "journal/journal_cursor.h"

#include "journal/journal.h"
#include "journal/journal_line.h"
#include "os/durable_files.h"

#include <filesystem>

namespace cashdrawer::agent {
namespace {

namespace fs = std::filesystem;

fs::path PathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

// The seq of a file's first line; 0 when it has no whole line.
uint64_t FirstSeq(const std::string& path) {
    constexpr std::size_t kLongestLine = 256 * 1024; // far past any line the agent writes
    const auto head = ReadFileChunk(path, 0, kLongestLine);
    const std::size_t end = head ? head->find('\n') : std::string::npos;
    ParsedLine parsed;
    if (end == std::string::npos || CheckLine(std::string_view(*head).substr(0, end), parsed) == LineProblem::NotJournalLine) {
        return 0;
    }
    return parsed.event.seq;
}

} // namespace

JournalCursor::JournalCursor(std::string folder, std::size_t chunkBytes)
    : folder_(std::move(folder)), chunkBytes_(chunkBytes) {
    SeekAfter(0);
}

void JournalCursor::SeekAfter(uint64_t seq) {
    position_ = seq;
    problem_.clear();
    buffer_.clear();
    fileOffset_ = 0;
    // The file to start in: the last whose first line is not past seq + 1.
    // Files are numbered in order, so the others need not be opened.
    fileNumber_ = 1;
    for (const JournalFileName& file : ListJournalFiles(folder_)) {
        const uint64_t first = FirstSeq(file.path);
        if (first == 0 || first > seq + 1) {
            break;
        }
        fileNumber_ = file.number;
    }
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
    // (Never through a link, never a FIFO: see durable_files.h.)
    const auto chunk = ReadFileChunk(JournalFilePath(folder_, fileNumber_), fileOffset_, chunkBytes_);
    if (!chunk) {
        return false; // no journal file yet
    }
    buffer_ += *chunk;
    fileOffset_ += chunk->size();
    return !chunk->empty();
}

bool JournalCursor::NextLine(std::string& line) {
    for (;;) {
        if (const std::size_t end = buffer_.find('\n'); end != std::string::npos) {
            line.assign(buffer_, 0, end);
            buffer_.erase(0, end + 1);
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
            fileOffset_ -= buffer_.size();
            buffer_.clear();
            return false;
        }
        if (!buffer_.empty()) {
            return Fail("its last line is cut off, and a later file follows");
        }
        ++fileNumber_;
        fileOffset_ = 0;
    }
}

std::size_t JournalCursor::Read(std::size_t max, const std::function<void(const JournalledEvent&)>& each) {
    std::size_t handed = 0;
    std::string line;
    while (problem_.empty() && handed < max && NextLine(line)) {
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
        if (seq <= position_) {
            continue; // before the place sought
        }
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
