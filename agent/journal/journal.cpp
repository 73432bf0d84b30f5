#include "journal/journal.h"

#include "journal/journal_line.h"

#include "core/json_text.h"
#include "os/owner_only_file.h"

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

constexpr const char* kHeadFile = "journal-head.json";

// The last whole line of a file's bytes, when it is one of the journal's.
bool LastWholeLine(const std::string& content, ParsedLine& parsed) {
    const std::size_t end = content.rfind('\n');
    if (end == std::string::npos) {
        return false;
    }
    const std::string_view before(content.data(), end);
    const std::size_t from = before.rfind('\n') + 1; // (npos + 1 is 0: the file's first line)
    return CheckLine(before.substr(from), parsed) == LineProblem::None;
}

// Moves a file's bytes from `from` on to the end of `to`, made durable
// there before the file is cut back: they are kept, never dropped.
bool MoveTail(const std::string& path, const std::string& content, std::size_t from, const std::string& to) {
    std::string error;
    auto aside = OpenAppendFile(to, error);
    return aside && aside->Append(std::string_view(content).substr(from)) && aside->Sync() && TruncateFile(path, from);
}

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

std::optional<JournalHead> ReadJournalHead(const std::string& folder) {
    const auto text = ReadFileBytes(Utf8Of(PathOf(folder) / kHeadFile), kMaxSmallFileBytes);
    if (!text) {
        return std::nullopt;
    }
    const Json json = ParseJsonText(*text);
    JournalHead head;
    head.seq = FieldOr(json, "seq", uint64_t{0});
    head.hash = FieldOr(json, "hash", std::string());
    head.chain = FieldOr(json, "chain", std::string());
    // A head that is not one the agent wrote checks nothing.
    if (head.seq == 0 || head.seq > kMaxSeq || head.hash.size() != 64) {
        return std::nullopt;
    }
    return head;
}

std::unique_ptr<Journal> Journal::Open(const JournalOptions& options, OpenStatus& status, std::string& error) {
    std::error_code made;
    fs::create_directories(PathOf(options.folder), made);
    if (!options.folderMayBeShared) {
        if (const std::string foreign = ForeignFolderProblem(options.folder); !foreign.empty()) {
            error = "refused: " + foreign +
                    "; the journal needs a folder only the agent's account writes (or JournalFolderShared=yes)";
            status = OpenStatus::Unusable;
            return nullptr;
        }
    }
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
    journal->opened_ = true;
    status = OpenStatus::Opened;
    return journal;
}

Journal::~Journal() {
    if (!opened_ || empty_) {
        return;
    }
    std::string error; // (nothing to tell it to: the next opening finds no head, or an older one, and checks less)
    WriteOwnerOnlyFile(Utf8Of(PathOf(options_.folder) / kHeadFile),
                       Json{{"seq", lastSeq_}, {"hash", lastHash_}, {"chain", chain_}}.dump() + "\n", error);
}

// Finds the last whole line, setting aside on the way what cannot go on
// the chain, and checks the end against what was known of it.
bool Journal::Recover(std::string& error) {
    std::string listError;
    auto files = ListJournalFiles(options_.folder, &listError);
    if (!listError.empty()) {
        error = "the folder cannot be listed: " + listError;
        return false;
    }
    head_ = ReadJournalHead(options_.folder);
    lastHash_ = kGenesisHash;
    if (!SetAsideStrayFile(files, error) || (!files.empty() && !CheckNewestFile(files.back(), files, error))) {
        return false;
    }
    ReadChainId(files);
    CheckAgainstHead();
    return OpenFirstOrSay(files.empty() ? 1 : files.back().number, error);
}

// A last file whose number does not follow the one before (a stray
// journal-999999.jsonl) would take the next lines, and the files between
// would then read as missing: it is moved aside, its bytes kept.
bool Journal::SetAsideStrayFile(std::vector<JournalFileName>& files, std::string& error) {
    if (files.size() < 2 || files.back().number == files[files.size() - 2].number + 1) {
        return true;
    }
    const JournalFileName stray = files.back();
    const std::string to = JournalFilePath(options_.folder, stray.number, ".stray");
    std::error_code moved;
    fs::rename(PathOf(stray.path), PathOf(to), moved);
    if (moved) {
        error = stray.path + ": a file out of the journal's order could not be set aside in " + to + ": " + moved.message();
        return false;
    }
    files.pop_back();
    ParsedLine last;
    const auto content = ReadFileBytes(to, kMaxJournalFileReadBytes);
    if (content && LastWholeLine(*content, last)) {
        highestSeen_ = std::max(highestSeen_, std::min(last.event.seq, kMaxSeq));
    }
    Event alarm{kind::kJournalAltered};
    alarm.fields["problem"] = "a journal file out of order was found: its number does not follow the one before it";
    alarm.fields["file"] = FileName(stray.path);
    alarm.fields["setAside"] = FileName(to);
    alarms_.push_back(std::move(alarm));
    return true;
}

// Reads the newest file: a torn last line goes to .torn, the lines from
// the first that does not follow the chain go to .altered.
bool Journal::CheckNewestFile(const JournalFileName& file, const std::vector<JournalFileName>& files, std::string& error) {
    std::string why;
    auto content = ReadFileBytes(file.path, kMaxJournalFileReadBytes, &why);
    if (!content) {
        error = file.path + ": cannot be read: " + (why.empty() ? "it vanished" : why);
        return false;
    }
    std::size_t wholeEnd = content->rfind('\n');
    wholeEnd = wholeEnd == std::string::npos ? 0 : wholeEnd + 1;
    if (wholeEnd < content->size()) {
        // A line cut by a crash: keep its bytes beside the journal, never
        // drop them, and cut the file back to its whole lines.
        const std::string tornPath = JournalFilePath(options_.folder, file.number, ".torn");
        if (!MoveTail(file.path, *content, wholeEnd, tornPath)) {
            error = file.path + ": its cut-off last line could not be set aside in " + tornPath;
            return false;
        }
        Event event{kind::kTornLineSetAside, Json::object()};
        event.fields["file"] = FileName(tornPath);
        event.fields["bytes"] = content->size() - wholeEnd;
        setAside_ = std::move(event);
        content->resize(wholeEnd);
    }
    // Where this file's chain starts: the last line of the file before. A
    // file before that cannot be read is verify's to name; the newest file
    // is then taken from its own first line.
    bool known = file.number == 1; // the journal's first file starts at the genesis
    if (files.size() >= 2) {
        ParsedLine before;
        const auto previous = ReadFileBytes(files[files.size() - 2].path, kMaxJournalFileReadBytes);
        known = previous && LastWholeLine(*previous, before);
        if (known) {
            lastSeq_ = before.event.seq;
            lastHash_ = before.hash;
        }
    }
    std::size_t start = 0;
    uint64_t lineNumber = 0;
    while (start < content->size()) {
        const std::size_t end = content->find('\n', start);
        ++lineNumber;
        ParsedLine parsed;
        const LineProblem problem = CheckLine(std::string_view(*content).substr(start, end - start), parsed);
        const Link link = problem != LineProblem::None ? Link::Broken
                          : known                      ? LinkOf(lastSeq_, lastHash_, parsed)
                          : parsed.event.seq <= kMaxSeq ? Link::Follows
                                                        : Link::Broken;
        if (link == Link::Broken) {
            return SetAsideAltered(file, *content, start, lineNumber, parsed, problem, error);
        }
        known = true;
        lastSeq_ = parsed.event.seq;
        lastHash_ = parsed.hash;
        start = end + 1;
    }
    if (setAside_) {
        setAside_->fields["afterSeq"] = lastSeq_;
    }
    return true;
}

bool Journal::SetAsideAltered(const JournalFileName& file, const std::string& content, std::size_t from,
                              uint64_t lineNumber, const ParsedLine& found, LineProblem problem, std::string& error) {
    const std::string to = JournalFilePath(options_.folder, file.number, ".altered");
    if (!MoveTail(file.path, content, from, to)) {
        error = file.path + ": line " + std::to_string(lineNumber) + " is not as it was written, and it could not be set aside in " + to;
        return false;
    }
    // The head office may hold the lines set aside: the numbering goes past
    // them, whether or not their seqs can be read.
    uint64_t lines = 0;
    for (std::size_t at = from; at < content.size(); at = content.find('\n', at) + 1) {
        ++lines;
        ParsedLine each;
        const std::size_t end = content.find('\n', at);
        if (CheckLine(std::string_view(content).substr(at, end - at), each) != LineProblem::NotJournalLine &&
            each.event.seq <= kMaxSeq) {
            highestSeen_ = std::max(highestSeen_, each.event.seq);
        }
    }
    highestSeen_ = std::max(highestSeen_, lastSeq_ + lines);
    Event alarm{kind::kJournalAltered};
    alarm.fields["problem"] = problem == LineProblem::NotJournalLine ? "not a journal line"
                              : problem == LineProblem::HashMismatch ? "the line was changed: its hash does not match its text"
                                                                     : "the line does not follow the one before it in the chain";
    alarm.fields["file"] = FileName(file.path);
    alarm.fields["line"] = lineNumber;
    alarm.fields["setAside"] = FileName(to);
    alarm.fields["lines"] = lines;
    alarm.fields["expectedSeq"] = lastSeq_ + 1;
    alarm.fields["expectedPrev"] = lastHash_;
    if (problem != LineProblem::NotJournalLine) {
        alarm.fields["foundSeq"] = found.event.seq;
        alarm.fields["foundPrev"] = found.prev;
    }
    alarms_.push_back(std::move(alarm));
    return true;
}

void Journal::ReadChainId(const std::vector<JournalFileName>& files) {
    empty_ = lastSeq_ == 0;
    if (!empty_ && files.front().number == 1) {
        const auto first = ReadFileChunk(files.front().path, 0, 64 * 1024);
        ParsedLine parsed;
        const std::size_t end = first ? first->find('\n') : std::string::npos;
        if (end != std::string::npos && CheckLine(std::string_view(*first).substr(0, end), parsed) == LineProblem::None) {
            chain_ = ChainIdOf(parsed.event);
            return;
        }
    }
    // A journal whose first line is gone (its files lost, or set aside)
    // keeps the chain it was closed with, when that is known: lines of it
    // were lost, and the alarm says so. A journal begun anew, head and all,
    // is a new chain.
    chain_ = head_ && !head_->chain.empty() ? head_->chain : NewChainId();
}

void Journal::CheckAgainstHead() {
    const uint64_t headSeq = head_ ? head_->seq : 0;
    const uint64_t expected = std::max(headSeq, options_.acknowledgedSeq);
    // (Lines set aside as altered are kept, not lost: no cut for them.)
    if (expected > std::max(lastSeq_, highestSeen_)) {
        Event alarm{kind::kJournalCut};
        const bool byHead = headSeq >= options_.acknowledgedSeq;
        alarm.fields["problem"] = "the journal ends at seq " + std::to_string(lastSeq_) + ", before seq " +
                                  std::to_string(expected) +
                                  (byHead ? ", its last line when it was last closed" : ", which the head office acknowledged");
        alarm.fields["expectedSeq"] = expected;
        alarm.fields["expectedFrom"] = byHead ? kHeadFile : "fleet-acked.json";
        if (byHead) {
            alarm.fields["expectedHash"] = head_->hash;
        }
        alarm.fields["foundSeq"] = lastSeq_;
        alarm.fields["foundHash"] = lastHash_;
        alarms_.push_back(std::move(alarm));
        highestSeen_ = std::max(highestSeen_, expected);
    } else if (head_ && head_->seq == lastSeq_ && head_->hash != lastHash_) {
        Event alarm{kind::kJournalAltered};
        alarm.fields["problem"] = "the journal's last line is not the one it was closed with";
        alarm.fields["expectedSeq"] = head_->seq;
        alarm.fields["expectedHash"] = head_->hash;
        alarm.fields["foundHash"] = lastHash_;
        alarms_.push_back(std::move(alarm));
    }
    if (!empty_ && head_ && !head_->chain.empty() && head_->chain != chain_) {
        Event alarm{kind::kJournalAltered};
        alarm.fields["problem"] = "the journal is another chain than the one closed here";
        alarm.fields["expectedChain"] = head_->chain;
        alarm.fields["foundChain"] = chain_;
        alarms_.push_back(std::move(alarm));
    }
    if (highestSeen_ > lastSeq_) {
        // Never a seq that may have been seen under another hash: the
        // numbering goes on past the highest known, and past what the
        // publisher may have sent beyond it.
        const uint64_t next = std::min(highestSeen_ + kMaxEventsInFlight + 1, kMaxSeq);
        alarms_.front().fields["nextSeq"] = next;
        lastSeq_ = next - 1;
    }
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
    if (lastSeq_ >= kMaxSeq) {
        failure_ = "the journal's numbering is at its end (seq " + std::to_string(lastSeq_) + ")";
        return std::nullopt;
    }
    JournalledEvent written;
    written.seq = lastSeq_ + 1;
    written.time = FormatUtcMillis(unixMillis);
    written.kind = event.kind;
    written.fields = event.fields;
    if (empty_) {
        written.fields["chain"] = chain_; // the journal's first line names its chain
    }
    written.line = ComposeLine(written.seq, written.time, Event{written.kind, written.fields}, lastHash_);
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
    empty_ = false;
    lastSeq_ = written.seq;
    lastHash_ = HashOfLine(written.line);
    return written;
}

std::vector<Event> Journal::TakeStartEvents() {
    std::vector<Event> events = std::move(alarms_);
    alarms_.clear();
    if (setAside_) {
        events.push_back(std::move(*setAside_));
        setAside_.reset();
    }
    return events;
}

std::string JournalReport::Describe() const {
    if (ok) {
        if (lines == 0) {
            return "the journal is empty";
        }
        const std::string counted =
            std::to_string(lines) + (lines == 1 ? " line" : " lines") + ", seq 1 to " + std::to_string(lastSeq);
        if (alarms.empty()) {
            return "the journal is whole: " + counted;
        }
        std::string text = "every line is as written (" + counted + "), but the agent raised " +
                           std::to_string(alarms.size()) + (alarms.size() == 1 ? " alarm" : " alarms") +
                           " on lines lost or set aside:";
        for (const std::string& alarm : alarms) {
            text += "\n  " + alarm;
        }
        return text;
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

std::string UnreadableFolderProblem(const std::string& folder) {
    std::error_code error;
    if (!fs::is_directory(PathOf(folder), error)) {
        return error && error != std::errc::no_such_file_or_directory ? "the journal folder cannot be read: " + error.message()
                                                                      : "no such journal folder";
    }
    std::string listError;
    ListJournalFiles(folder, &listError);
    // (A folder this account may not list is no empty journal.)
    return listError.empty() ? "" : "the journal folder cannot be read: " + listError;
}

JournalReport ReadJournal(const std::string& folder, const std::function<void(const JournalledEvent&)>& visit,
                          const std::function<void(const JournalProgress&)>& progress) {
    JournalReport report;
    if (std::string unreadable = UnreadableFolderProblem(folder); !unreadable.empty()) {
        report.ok = false;
        report.unreadable = true;
        report.problem = std::move(unreadable);
        return report;
    }
    const auto files = ListJournalFiles(folder);
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
        std::string why;
        const auto content = ReadFileBytes(file.path, kMaxJournalFileReadBytes, &why);
        if (!content) {
            report.unreadable = true;
            return fail(file, 1, "the file cannot be read: " + (why.empty() ? std::string("it vanished") : why));
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
            if (LinkOf(report.lastSeq, prevHash, parsed) == Link::Broken) {
                if (parsed.event.seq != report.lastSeq + 1) {
                    return fail(file, lineNumber,
                                "seq " + std::to_string(parsed.event.seq) + " where " + std::to_string(report.lastSeq + 1) +
                                    " was due: a line was removed, inserted or moved here");
                }
                return fail(file, lineNumber,
                            "its prev is not the hash of the line before: a line was removed, inserted or moved here");
            }
            if (IsJournalAlarm(parsed.event.kind)) {
                report.alarms.push_back("seq " + std::to_string(parsed.event.seq) + " " + parsed.event.kind + ": " +
                                        FieldOr(parsed.event.fields, "problem", std::string("(no words)")));
            }
            report.seq.reset();
            prevHash = parsed.hash;
            report.lastSeq = parsed.event.seq;
            ++report.lines;
            visit(parsed.event);
        }
        if (progress) {
            progress(JournalProgress{file.number, files.back().number, report.lines, report.lastSeq});
        }
    }
    return report;
}


} // namespace cashdrawer::agent
