#include "journal/journal.h"

#include "journal/journal_line.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace cashdrawer::agent {
namespace {

namespace fs = std::filesystem;

fs::path PathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }
std::string Utf8Of(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// "journal-000012.jsonl" -> 12; 0 for any other name.
uint32_t FileNumber(const std::string& name) {
    constexpr std::string_view prefix = "journal-";
    constexpr std::string_view suffix = ".jsonl";
    if (name.size() != prefix.size() + 6 + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return 0;
    }
    uint32_t number = 0;
    for (std::size_t i = prefix.size(); i < prefix.size() + 6; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
        number = number * 10 + static_cast<uint32_t>(name[i] - '0');
    }
    return number;
}

std::string FileName(const std::string& path) { return Utf8Of(PathOf(path).filename()); }

} // namespace

std::string JournalFilePath(const std::string& folder, uint32_t number, const char* extension) {
    char name[32];
    std::snprintf(name, sizeof name, "journal-%06u%s", static_cast<unsigned>(number), extension);
    return Utf8Of(PathOf(folder) / name);
}

std::vector<JournalFileName> ListJournalFiles(const std::string& folder, std::string* listError) {
    std::vector<JournalFileName> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(PathOf(folder), error)) {
        const uint32_t number = FileNumber(Utf8Of(entry.path().filename()));
        if (number != 0) {
            files.push_back({number, Utf8Of(entry.path())});
        }
    }
    if (error && listError != nullptr) {
        *listError = error.message();
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.number < b.number; });
    return files;
}

std::unique_ptr<Journal> Journal::Open(const JournalOptions& options, OpenStatus& status, std::string& error) {
    std::error_code made;
    fs::create_directories(PathOf(options.folder), made);
    LockResult locked = LockResult::Failed;
    auto lock = LockFolder(options.folder, locked, error);
    if (!lock) {
        status = locked == LockResult::HeldByAnother ? OpenStatus::HeldByAnother : OpenStatus::Unusable;
        return nullptr;
    }
    std::unique_ptr<Journal> journal(new Journal(options, std::move(lock)));
    if (!journal->Recover(error)) {
        status = OpenStatus::Unusable;
        return nullptr;
    }
    status = OpenStatus::Opened;
    return journal;
}

// Finds the last whole line, setting a cut-off tail aside on the way.
bool Journal::Recover(std::string& error) {
    const auto files = ListJournalFiles(options_.folder);
    lastHash_ = kGenesisHash;
    if (files.empty()) {
        return OpenFirstOrSay(1, error);
    }
    for (auto file = files.rbegin(); file != files.rend(); ++file) {
        const auto content = ReadFileBytes(file->path);
        if (!content) {
            error = file->path + ": cannot be read";
            return false;
        }
        std::size_t wholeEnd = content->rfind('\n');
        wholeEnd = wholeEnd == std::string::npos ? 0 : wholeEnd + 1;
        if (file == files.rbegin() && wholeEnd < content->size()) {
            // A line cut by a crash: keep its bytes beside the journal,
            // never drop them, and cut the file back to its whole lines.
            const std::string tornPath = JournalFilePath(options_.folder, file->number, ".torn");
            std::string setAsideError;
            auto torn = OpenAppendFile(tornPath, setAsideError);
            if (!torn || !torn->Append(std::string_view(*content).substr(wholeEnd)) || !torn->Sync() ||
                !TruncateFile(file->path, wholeEnd)) {
                error = file->path + ": its cut-off last line could not be set aside in " + tornPath;
                return false;
            }
            Event event{kind::kTornLineSetAside, Json::object()};
            event.fields["file"] = FileName(tornPath);
            event.fields["bytes"] = content->size() - wholeEnd;
            setAside_ = std::move(event);
        }
        if (wholeEnd == 0) {
            continue; // an empty file: the chain ends in the one before
        }
        const std::size_t lineStart = content->rfind('\n', wholeEnd - 2);
        const std::size_t from = lineStart == std::string::npos ? 0 : lineStart + 1;
        ParsedLine last;
        if (CheckLine(std::string_view(*content).substr(from, wholeEnd - 1 - from), last) != LineProblem::None) {
            error = file->path + ": its last line is not as it was written; `journal verify` names what changed";
            return false;
        }
        lastSeq_ = last.event.seq;
        lastHash_ = last.hash;
        break;
    }
    if (setAside_) {
        setAside_->fields["afterSeq"] = lastSeq_;
    }
    return OpenFirstOrSay(files.back().number, error);
}

bool Journal::OpenFirstOrSay(uint32_t number, std::string& error) {
    if (!OpenFile(number)) {
        error = failure_;
        return false;
    }
    return true;
}

bool Journal::OpenFile(uint32_t number) {
    const std::string path = JournalFilePath(options_.folder, number);
    auto file = OpenAppendFile(path, failure_);
    if (!file) {
        return false;
    }
    SyncFolder(options_.folder);
    file_ = std::move(file);
    fileNumber_ = number;
    return true;
}

std::optional<JournalledEvent> Journal::Append(const Event& event, int64_t unixMillis) {
    JournalledEvent written;
    written.seq = lastSeq_ + 1;
    written.time = FormatUtcMillis(unixMillis);
    written.kind = event.kind;
    written.fields = event.fields;
    written.line = ComposeLine(written.seq, written.time, event, lastHash_);
    const std::string text = written.line + '\n';
    if (!file_ || (file_->Size() > 0 && file_->Size() + text.size() > options_.fileBytes)) {
        // The chain runs on into the next file; the full one stays as it is.
        if (file_ && !file_->Sync()) {
            failure_ = file_->Error();
            return std::nullopt;
        }
        if (!OpenFile(file_ ? fileNumber_ + 1 : fileNumber_)) {
            return std::nullopt;
        }
    }
    // One write and one sync per event: a power loss can cost at most the
    // line being written, which the next start sets aside.
    if (!file_->Append(text) || !file_->Sync()) {
        failure_ = JournalFilePath(options_.folder, fileNumber_) + ": " + file_->Error();
        return std::nullopt;
    }
    failure_.clear();
    lastSeq_ = written.seq;
    lastHash_ = written.line.substr(written.line.size() - 66, 64); // the hash before the closing `"}`
    return written;
}

std::optional<Event> Journal::TakeSetAsideEvent() {
    std::optional<Event> event = std::move(setAside_);
    setAside_.reset();
    return event;
}

std::string JournalReport::Describe() const {
    if (ok) {
        if (lines == 0) {
            return "the journal is empty";
        }
        return "the journal is whole: " + std::to_string(lines) + (lines == 1 ? " line" : " lines") + ", seq 1 to " +
               std::to_string(lastSeq);
    }
    if (lineNumber == 0) {
        // (The folder's own problems name no file: whoever prints the
        // report names the folder, once.)
        return file.empty() ? problem : file + ": " + problem;
    }
    std::string where = file + " line " + std::to_string(lineNumber);
    if (seq) {
        where += " (seq " + std::to_string(*seq) + ")";
    }
    return where + ": " + problem + "; the last whole seq before it is " + std::to_string(lastSeq);
}

JournalReport ReadJournal(const std::string& folder, const std::function<void(const JournalledEvent&)>& visit) {
    JournalReport report;
    std::error_code error;
    if (!fs::is_directory(PathOf(folder), error)) {
        report.ok = false;
        report.unreadable = true;
        report.problem = error && error != std::errc::no_such_file_or_directory
                             ? "the journal folder cannot be read: " + error.message()
                             : "no such journal folder";
        return report;
    }
    std::string listError;
    const auto files = ListJournalFiles(folder, &listError);
    if (!listError.empty()) {
        // A folder this account may not list is no empty journal.
        report.ok = false;
        report.unreadable = true;
        report.problem = "the journal folder cannot be read: " + listError;
        return report;
    }
    std::string prevHash = kGenesisHash;
    uint32_t expectedNumber = 1;
    auto fail = [&report](const JournalFileName& file, uint64_t lineNumber, std::string problem) {
        report.ok = false;
        report.file = FileName(file.path);
        report.lineNumber = lineNumber;
        report.problem = std::move(problem);
        return report;
    };
    for (const JournalFileName& file : files) {
        if (file.number != expectedNumber) {
            return fail(file, 1, "the file before it, " + FileName(JournalFilePath(folder, expectedNumber)) + ", is missing");
        }
        ++expectedNumber;
        const auto content = ReadFileBytes(file.path);
        if (!content) {
            report.unreadable = true;
            return fail(file, 1, "the file cannot be read");
        }
        std::size_t start = 0;
        uint64_t lineNumber = 0;
        while (start < content->size()) {
            ++lineNumber;
            const std::size_t end = content->find('\n', start);
            if (end == std::string::npos) {
                report.cutOff = true;
                return fail(file, lineNumber, "the last line is cut off (a crash while it was written)");
            }
            const std::string_view line = std::string_view(*content).substr(start, end - start);
            start = end + 1;
            ParsedLine parsed;
            switch (CheckLine(line, parsed)) {
            case LineProblem::NotJournalLine: return fail(file, lineNumber, "not a journal line");
            case LineProblem::HashMismatch:
                report.seq = parsed.event.seq;
                return fail(file, lineNumber, "the line was changed: its hash does not match its text");
            case LineProblem::None: break;
            }
            report.seq = parsed.event.seq;
            if (parsed.event.seq != report.lastSeq + 1) {
                return fail(file, lineNumber,
                            "seq " + std::to_string(parsed.event.seq) + " where " + std::to_string(report.lastSeq + 1) +
                                " was due: a line was removed, inserted or moved here");
            }
            if (parsed.prev != prevHash) {
                return fail(file, lineNumber,
                            "its prev is not the hash of the line before: a line was removed, inserted or moved here");
            }
            report.seq.reset();
            prevHash = parsed.hash;
            report.lastSeq = parsed.event.seq;
            ++report.lines;
            visit(parsed.event);
        }
    }
    return report;
}

uint64_t ReplayJournal(const std::string& folder, uint64_t after, const std::function<void(const JournalledEvent&)>& each) {
    uint64_t newest = 0;
    ReadJournal(folder, [&](const JournalledEvent& event) {
        newest = event.seq;
        if (event.seq > after) {
            each(event);
        }
    });
    return newest;
}

} // namespace cashdrawer::agent
