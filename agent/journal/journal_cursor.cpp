#include "journal/journal_cursor.h"

#include "journal/journal.h"
#include "journal/journal_line.h"

#include <filesystem>
#include <fstream>

namespace cashdrawer::agent {
namespace {

namespace fs = std::filesystem;

fs::path PathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

// The seq of a file's first line; 0 when it has no whole line.
uint64_t FirstSeq(const std::string& path) {
    std::ifstream in(PathOf(path), std::ios::binary);
    std::string line;
    ParsedLine parsed;
    if (!std::getline(in, line) || in.eof() || CheckLine(line, parsed) == LineProblem::NotJournalLine) {
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
    std::ifstream in(PathOf(JournalFilePath(folder_, fileNumber_)), std::ios::binary);
    if (!in) {
        return false; // no journal file yet
    }
    in.seekg(static_cast<std::streamoff>(fileOffset_));
    std::string chunk(chunkBytes_, '\0');
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    buffer_.append(chunk, 0, got);
    fileOffset_ += got;
    return got > 0;
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
        if (!lastHash_.empty() && (seq != lastSeq_ + 1 || parsed.prev != lastHash_)) {
            Fail("seq " + std::to_string(seq) + " does not follow seq " + std::to_string(lastSeq_) + " in the chain");
            break;
        }
        lastSeq_ = seq;
        lastHash_ = parsed.hash;
        if (seq <= position_) {
            continue; // before the place sought
        }
        if (seq != position_ + 1) {
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
