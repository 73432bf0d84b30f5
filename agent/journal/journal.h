// The journal: the single source of truth for the agent's events. Each
// event is appended as one hash-chained line (journal_line.h) and made
// durable before anybody is told of it; readers - journal show, the
// statistics, and later the web pages and the fleet publisher - read it
// back by sequence number and so can never miss an event.
//
// Files are journal-NNNNNN.jsonl, numbered from 1; a file that would grow
// past its size limit is closed and the next one started, the chain running
// on across them. Nothing is ever deleted. A line cut short by a crash or a
// power loss can only be the newest file's last: the next writer moves it
// to journal-NNNNNN.torn and journals that it did.
//
// At each opening the journal's end is checked against what was known of
// it before: the head it saved when it was last closed (journal-head.json)
// and the seq the head office acknowledged. Lines lost (a file deleted, a
// folder restored from an old copy) or found changed in the newest file
// are never taken silently: the changed lines are set aside beside the
// journal (journal-NNNNNN.altered), the numbering skips past every seq
// that may have been seen, and an alarm (journal-cut, journal-altered) is
// the first line journalled, with the evidence. The agent serves on.
#pragma once

#include "core/event.h"
#include "journal/journal_line.h"
#include "os/durable_files.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cashdrawer::agent {

// The fleet publisher sends at most this many events ahead of the broker's
// acknowledgement, so the head office may hold seqs that far past it.
inline constexpr uint64_t kMaxEventsInFlight = 64;

struct JournalOptions {
    std::string folder;
    uint64_t fileBytes = 8u << 20; // a file is closed before it grows past this
    // The newest seq the head office acknowledged (0: none, or no fleet):
    // a journal that ends before it has lost lines.
    uint64_t acknowledgedSeq = 0;
    // Take a folder that other accounts may write to (durable_files.h).
    bool folderMayBeShared = false;
};

// What the journal saved of its end when it was last closed.
struct JournalHead {
    uint64_t seq = 0;
    std::string hash;
    std::string chain;
};
std::optional<JournalHead> ReadJournalHead(const std::string& folder);

// The journal's files in their order, by number.
struct JournalFileName {
    uint32_t number = 0;
    std::string path;
};
// The journal's files, by number; `error`, when given, gets why the folder
// could not be listed (it is left as it was when it could).
std::vector<JournalFileName> ListJournalFiles(const std::string& folder, std::string* error = nullptr);
std::string JournalFilePath(const std::string& folder, uint32_t number, const char* extension = ".jsonl");

class Journal {
public:
    enum class OpenStatus { Opened, HeldByAnother, Unusable };

    // Takes the folder's lock, sets a torn last line aside and finds where
    // the chain goes on. Null, with `error`, when another agent holds the
    // journal or it cannot be used (a folder that cannot be written, a last
    // line whose hash is wrong: somebody edited it, and `verify` says more).
    static std::unique_ptr<Journal> Open(const JournalOptions& options, OpenStatus& status, std::string& error);
    // Saves the head (journal-head.json) for the next opening to check.
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Appends the event with the next sequence number, written and synced.
    // Nothing, with Failure() set, when it could not be: the number is then
    // not used, and the file ends with whole lines as before.
    std::optional<JournalledEvent> Append(const Event& event, int64_t unixMillis);

    uint64_t LastSeq() const { return lastSeq_; }
    // Why the last append failed; empty after a success.
    const std::string& Failure() const { return failure_; }
    // What the opening found, as events to journal first, in this order:
    // the alarms (the first of them takes the seq past a cut), then the
    // torn line set aside.
    std::vector<Event> TakeStartEvents();
    // This journal's chain (journal_line.h).
    const std::string& ChainId() const { return chain_; }

private:
    Journal(JournalOptions options, std::unique_ptr<FolderLock> lock) : options_(std::move(options)), lock_(std::move(lock)) {}
    bool Recover(std::string& error);
    bool SetAsideStrayFile(std::vector<JournalFileName>& files, std::string& error);
    bool CheckNewestFile(const JournalFileName& file, const std::vector<JournalFileName>& files, std::string& error);
    bool SetAsideAltered(const JournalFileName& file, const std::string& content, std::size_t from, uint64_t lineNumber,
                         const ParsedLine& found, LineProblem problem, std::string& error);
    void CheckAgainstHead();
    void ReadChainId(const std::vector<JournalFileName>& files);
    bool OpenFile(uint32_t number);
    bool OpenFirstOrSay(uint32_t number, std::string& error);

    JournalOptions options_;
    std::unique_ptr<FolderLock> lock_;
    std::unique_ptr<AppendFile> file_;
    uint32_t fileNumber_ = 1;
    uint64_t lastSeq_ = 0;
    std::string lastHash_;
    std::string failure_;
    std::string chain_;
    bool opened_ = false;
    bool empty_{}; // no line yet: the first carries the chain (set by the opening, from what it found)
    std::optional<JournalHead> head_;
    uint64_t highestSeen_ = 0; // of the lines set aside or known to have been written
    std::vector<Event> alarms_;
    std::optional<Event> setAside_;
};

// What a reading of the whole journal found.
struct JournalReport {
    bool ok = true;
    // The alarm lines read ("seq 121 journal-cut: ..."): where the agent
    // found lines lost or set aside. A journal with any is not whole, though
    // every line in it is as written.
    std::vector<std::string> alarms;
    uint64_t lines = 0;   // whole, checked lines read
    uint64_t lastSeq = 0; // of the last of them
    // Where the first problem is, when !ok.
    std::string file;
    uint64_t lineNumber = 0;
    std::optional<uint64_t> seq; // of the bad line, when it can be read
    std::string problem;
    bool cutOff = false; // the problem is a last line cut short
    // The folder or a file of it could not be read (missing, or not this
    // account's to read): nothing can be said of the journal, whole or not.
    bool unreadable = false;

    std::string Describe() const;
};

// How far a reading of the whole journal has come, after each file. (Made
// whole by the reader each time: no field keeps a value of its own.)
struct JournalProgress {
    uint32_t file{};  // the number of the file just read
    uint32_t files{}; // the newest file's number
    uint64_t lines{};
    uint64_t lastSeq{};
};

// Why the folder cannot be read as a journal (missing, or not this
// account's to list); empty when it can.
std::string UnreadableFolderProblem(const std::string& folder);

// Reads every file in order, checking each line's hash and its place in
// the chain, and hands each good line to `visit`; stops at the first bad
// one and names it. One file is held at a time.
JournalReport ReadJournal(const std::string& folder, const std::function<void(const JournalledEvent&)>& visit,
                          const std::function<void(const JournalProgress&)>& progress = nullptr);

} // namespace cashdrawer::agent
