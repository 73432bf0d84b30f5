#include "os/durable_files.h"

#include "platform/whole_file_win32.h"
#include "os/win32_error.h"

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

} // namespace

std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path, std::string& error) {
    // FILE_APPEND_DATA alone: every write lands at the end. Readers (journal
    // show, verify) may open it meanwhile.
    HANDLE file = ::CreateFileW(Utf8ToWide(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size{};
    if (file == INVALID_HANDLE_VALUE || !::GetFileSizeEx(file, &size)) {
        error = path + ": " + LastErrorText();
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
    HANDLE file = ::CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const bool shared = ::GetLastError() == ERROR_SHARING_VIOLATION;
        result = shared ? LockResult::HeldByAnother : LockResult::Failed;
        error = path + ": " + (shared ? std::string("another agent writes this journal") : LastErrorText());
        return nullptr;
    }
    result = LockResult::Held;
    return std::make_unique<Win32FolderLock>(file);
}

void SyncFolder(const std::string&) {}

bool TruncateFile(const std::string& path, uint64_t size) {
    HANDLE file = ::CreateFileW(Utf8ToWide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    const bool done = ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
    ::CloseHandle(file);
    return done;
}

std::optional<std::string> ReadFileBytes(const std::string& path) { return ReadWholeFileW(Utf8ToWide(path)); }

} // namespace cashdrawer::agent
