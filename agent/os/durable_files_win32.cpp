#include "os/durable_files.h"

#include "os/win32_error.h"

#include "platform/system_text.h"

#include <algorithm>

namespace cashdrawer::agent {
namespace {

class Win32AppendFile final : public AppendFile {
public:
    Win32AppendFile(HANDLE file, uint64_t size) : file_(file), size_(size) {}
    ~Win32AppendFile() override { ::CloseHandle(file_); }

    bool Append(std::string_view text) override {
        DWORD wrote = 0;
        if (!::WriteFile(file_, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) || wrote != text.size()) {
            error_ = LastErrorText();
            // A disk that filled part way: cut the part off again.
            LARGE_INTEGER at{};
            at.QuadPart = static_cast<LONGLONG>(size_);
            if (!::SetFilePointerEx(file_, at, nullptr, FILE_BEGIN) || !::SetEndOfFile(file_)) {
                error_ += "; the part written could not be cut off";
            }
            return false;
        }
        size_ += text.size();
        return true;
    }
    bool Sync() override {
        if (!::FlushFileBuffers(file_)) {
            error_ = LastErrorText();
            return false;
        }
        return true;
    }
    uint64_t Size() const override { return size_; }
    std::string Error() const override { return error_; }

private:
    HANDLE file_;
    uint64_t size_;
    std::string error_;
};

class Win32FolderLock final : public FolderLock {
public:
    explicit Win32FolderLock(HANDLE file) : file_(file) {}
    ~Win32FolderLock() override { ::CloseHandle(file_); }

private:
    HANDLE file_;
};

// Opens the agent's own file: a reparse point (a symbolic link or a
// junction) is opened as itself, never followed, and refused; so is
// anything but a file on a disk (a named pipe would hang the reader).
// `why` is left empty for a file that does not exist.
HANDLE OpenOwnFile(const std::string& path, DWORD access, DWORD share, DWORD disposition, std::string& why) {
    HANDLE file = ::CreateFileW(Utf8ToWide(path).c_str(), access, share, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        why = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? "" : LastErrorText();
        ::SetLastError(code); // for the caller that tells a sharing violation
        return INVALID_HANDLE_VALUE;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        why = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? "a link, which the agent never follows"
                                                                          : "not a regular file";
        ::CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Reads up to `count` bytes at `offset`, first as many as the file is
// thought to hold (`expected`; the bound may be far past the file's end),
// then a step at a time while it goes on; false on an error.
bool ReadAt(HANDLE file, uint64_t offset, std::size_t count, std::size_t expected, std::string& out) {
    constexpr std::size_t kStep = 1u << 20; // (a memory figure only: any step reads the same bytes)
    out.clear();
    std::size_t done = 0;
    while (done < count) {
        out.resize(std::min(count, done == 0 ? expected + 1 : done + kStep));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>((offset + done) & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        const DWORD ask = static_cast<DWORD>(out.size() - done);
        DWORD got = 0;
        if (!::ReadFile(file, out.data() + done, ask, &got, &at)) {
            if (::GetLastError() == ERROR_HANDLE_EOF) {
                break;
            }
            return false;
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    out.resize(done);
    return true;
}

} // namespace

std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path, std::string& error) {
    // FILE_APPEND_DATA alone: every write lands at the end. Readers (journal
    // show, verify) may open it meanwhile.
    std::string why;
    HANDLE file = OpenOwnFile(path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ, OPEN_ALWAYS, why);
    LARGE_INTEGER size{};
    if (file == INVALID_HANDLE_VALUE || !::GetFileSizeEx(file, &size)) {
        error = path + ": " + (file == INVALID_HANDLE_VALUE ? (why.empty() ? "no such folder" : why) : LastErrorText());
        if (file != INVALID_HANDLE_VALUE) {
            ::CloseHandle(file);
        }
        return nullptr;
    }
    return std::make_unique<Win32AppendFile>(file, static_cast<uint64_t>(size.QuadPart));
}

std::unique_ptr<FolderLock> LockFolder(const std::string& folder, LockResult& result, std::string& error) {
    const std::string path = folder + "\\journal.lock";
    // Opened without sharing: a second agent's open fails with a sharing
    // violation until the first ends, however it ends.
    std::string why;
    HANDLE file = OpenOwnFile(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS, why);
    if (file == INVALID_HANDLE_VALUE) {
        const bool shared = ::GetLastError() == ERROR_SHARING_VIOLATION;
        result = shared ? LockResult::HeldByAnother : LockResult::Failed;
        error = path + ": " + (shared ? std::string("another agent writes this journal") : why.empty() ? "no such folder" : why);
        return nullptr;
    }
    result = LockResult::Held;
    return std::make_unique<Win32FolderLock>(file);
}

void SyncFolder(const std::string&) {}

bool TruncateFile(const std::string& path, uint64_t size) {
    std::string why;
    HANDLE file = OpenOwnFile(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, why);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    const bool done = ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
    ::CloseHandle(file);
    return done;
}

std::optional<std::string> ReadFileBytes(const std::string& path, uint64_t maxBytes, std::string* why) {
    std::string problem;
    HANDLE file = OpenOwnFile(path, GENERIC_READ, kShareAll, OPEN_EXISTING, problem);
    if (file == INVALID_HANDLE_VALUE) {
        if (why != nullptr) {
            *why = problem;
        }
        return std::nullopt;
    }
    LARGE_INTEGER size{};
    std::string bytes;
    const bool sized = ::GetFileSizeEx(file, &size) && static_cast<uint64_t>(size.QuadPart) <= maxBytes;
    const bool read = sized &&
                      ReadAt(file, 0, static_cast<std::size_t>(maxBytes) + 1, static_cast<std::size_t>(size.QuadPart), bytes) &&
                      bytes.size() <= maxBytes;
    const std::string readError = read ? "" : LastErrorText();
    ::CloseHandle(file);
    if (!read) {
        if (why != nullptr) {
            *why = !sized || bytes.size() > maxBytes
                       ? "larger than the " + std::to_string(maxBytes) + " bytes a file of its kind may hold"
                       : readError;
        }
        return std::nullopt;
    }
    return bytes;
}

std::optional<std::string> ReadFileChunk(const std::string& path, uint64_t offset, std::size_t count, std::string* why) {
    std::string problem;
    HANDLE file = OpenOwnFile(path, GENERIC_READ, kShareAll, OPEN_EXISTING, problem);
    if (file == INVALID_HANDLE_VALUE) {
        if (why != nullptr) {
            *why = problem;
        }
        return std::nullopt;
    }
    std::string bytes;
    const bool read = ReadAt(file, offset, count, count, bytes);
    if (!read && why != nullptr) {
        *why = LastErrorText();
    }
    ::CloseHandle(file);
    return read ? std::optional<std::string>(std::move(bytes)) : std::nullopt;
}

// The folder's protection on Windows is its ACL, set by the installer for
// the service's account (ProgramData inherits "only administrators and
// SYSTEM write"); the files themselves are opened without following links.
std::string ForeignFolderProblem(const std::string&) { return ""; }

} // namespace cashdrawer::agent
