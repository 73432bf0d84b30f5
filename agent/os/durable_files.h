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

// Cuts a file to `size` bytes.
bool TruncateFile(const std::string& path, uint64_t size);

// A whole file's bytes, by a UTF-8 path (on Windows through the UTF-16
// API, so a folder of any name works); nothing when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::string& path);

} // namespace cashdrawer::agent
