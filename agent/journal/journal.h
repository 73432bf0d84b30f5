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
#pragma once

#include "core/event.h"
#include "os/durable_files.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cashdrawer::agent {

struct JournalOptions {
    std::string folder;
    uint64_t fileBytes = 8u << 20; // a file is closed before it grows past this
};

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

    // Appends the event with the next sequence number, written and synced.
    // Nothing, with Failure() set, when it could not be: the number is then
    // not used, and the file ends with whole lines as before.
    std::optional<JournalledEvent> Append(const Event& event, int64_t unixMillis);

    uint64_t LastSeq() const { return lastSeq_; }
    // Why the last append failed; empty after a success.
    const std::string& Failure() const { return failure_; }
    // The torn line found at the opening, as an event to journal first.
    std::optional<Event> TakeSetAsideEvent();

private:
    Journal(JournalOptions options, std::unique_ptr<FolderLock> lock) : options_(std::move(options)), lock_(std::move(lock)) {}
    bool Recover(std::string& error);
    bool OpenFile(uint32_t number);
    bool OpenFirstOrSay(uint32_t number, std::string& error);

    JournalOptions options_;
    std::unique_ptr<FolderLock> lock_;
    std::unique_ptr<AppendFile> file_;
    uint32_t fileNumber_ = 1;
    uint64_t lastSeq_ = 0;
    std::string lastHash_;
    std::string failure_;
    std::optional<Event> setAside_;
};

// What a reading of the whole journal found.
struct JournalReport {
    bool ok = true;
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

// Reads every file in order, checking each line's hash and its place in
// the chain, and hands each good line to `visit`; stops at the first bad
// one and names it.
JournalReport ReadJournal(const std::string& folder, const std::function<void(const JournalledEvent&)>& visit);

// The events numbered past `after`, in order, for a client that resumes an
// event stream; returns the newest number the journal holds (0 for none),
// which tells a client from another journal and where live events start.
uint64_t ReplayJournal(const std::string& folder, uint64_t after, const std::function<void(const JournalledEvent&)>& each);

} // namespace cashdrawer::agent
