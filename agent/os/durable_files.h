// The journal's file access, one implementation per operating system: an
// append-only file whose appends are whole or absent, the lock that keeps a
// second agent off a journal, and the steps that make a write durable.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace cashdrawer::agent {

class AppendFile {
public:
    virtual ~AppendFile() = default;
    // Appends all of `text` or, when the disk is full or the file may grow
    // no further, nothing: a part written is cut off again.
    virtual bool Append(std::string_view text) = 0;
    // Makes what was appended durable (fdatasync, FlushFileBuffers).
    virtual bool Sync() = 0;
    virtual uint64_t Size() const = 0;
    // The system's words for the last failure.
    virtual std::string Error() const = 0;
};

// Opens `path` for appending, creating it. Null, with `error`, on failure.
std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path, std::string& error);

// Holds the journal folder for one agent while it lives. Held() is false
// when another process holds it (`error` says so) or the lock file cannot
// be made.
class FolderLock {
public:
    virtual ~FolderLock() = default;
};
enum class LockResult { Held, HeldByAnother, Failed };
std::unique_ptr<FolderLock> LockFolder(const std::string& folder, LockResult& result, std::string& error);

// Makes a new file's name in the folder durable (POSIX: the folder's own
// fsync); nothing to do where the system does it with the file.
void SyncFolder(const std::string& folder);

// Cuts a file to `size` bytes (never through a link).
bool TruncateFile(const std::string& path, uint64_t size);

// Every file the agent reads may have been put there by somebody else, so
// each is opened without following a link and must be a regular file of a
// bounded size: a FIFO would hang the reader, a device read without end,
// and a link could lead the agent's account to a file it should not show.
//
// A whole file's bytes, by a UTF-8 path (on Windows through the UTF-16
// API, so a folder of any name works). Nothing when it cannot be read:
// `why`, when given, is then left empty for a file that does not exist
// and says why for any other (a link, a FIFO, too large, no permission).
std::optional<std::string> ReadFileBytes(const std::string& path, uint64_t maxBytes, std::string* why = nullptr);
// Up to `count` bytes from `offset` on the same terms; fewer at the end.
std::optional<std::string> ReadFileChunk(const std::string& path, uint64_t offset, std::size_t count,
                                         std::string* why = nullptr);

// Settings, pairings, the fleet's acknowledged seq, the alarms: small files.
inline constexpr uint64_t kMaxSmallFileBytes = 1u << 20;
// A journal file: well past the largest size a journal file is written to.
inline constexpr uint64_t kMaxJournalFileReadBytes = 1u << 30;

// Whether a journal folder is the agent's own: a folder another account
// may write to (made by another account, or writable by every account)
// lets that account swap the journal's files for links; empty when it is
// the agent's (or cannot be looked at: opening its lock file then says
// why), else why not.
std::string ForeignFolderProblem(const std::string& folder);

} // namespace cashdrawer::agent
