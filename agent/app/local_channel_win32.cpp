// The local channel on Windows: a named pipe whose security descriptor
// grants SYSTEM (the service's account), the administrators and the pipe's
// owner (the account that started the agent) and denies every network
// logon; remote clients are rejected by the pipe itself as well. The first
// instance is created as the first: a name some other program took before
// the agent is never served.
#include "app/local_channel.h"

#include "app/agent_app.h"
#include "os/win32_error.h"

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <list>

namespace cashdrawer::agent {
namespace {

constexpr DWORD kRequestTimeMs = 5000;
constexpr DWORD kWriteTimeMs = 10000;
constexpr std::size_t kMostConnections = 8;

class Handle {
public:
    explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }
    void Close() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle_);
        }
        handle_ = nullptr;
    }

private:
    HANDLE handle_;
};

// One overlapped read or write, given up after `timeoutMs`.
bool Transfer(HANDLE pipe, HANDLE event, bool write, void* data, DWORD size, DWORD& done, DWORD timeoutMs) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    ::ResetEvent(event);
    const BOOL started = write ? ::WriteFile(pipe, data, size, nullptr, &overlapped)
                               : ::ReadFile(pipe, data, size, nullptr, &overlapped);
    if (!started && ::GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    if (::WaitForSingleObject(event, timeoutMs) != WAIT_OBJECT_0) {
        ::CancelIoEx(pipe, &overlapped);
        ::GetOverlappedResult(pipe, &overlapped, &done, TRUE);
        return false;
    }
    return ::GetOverlappedResult(pipe, &overlapped, &done, FALSE) != 0;
}

class PipeConnection final : public LocalConnection {
public:
    explicit PipeConnection(HANDLE pipe) : pipe_(pipe), event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~PipeConnection() override {
        ::FlushFileBuffers(pipe_.get());
        ::DisconnectNamedPipe(pipe_.get());
    }

    bool ReadLine(std::string& line) override {
        line.clear();
        const ULONGLONG until = ::GetTickCount64() + kRequestTimeMs;
        while (::GetTickCount64() < until) {
            char chunk[256];
            DWORD got = 0;
            if (!Transfer(pipe_.get(), event_.get(), false, chunk, sizeof chunk, got,
                          static_cast<DWORD>(until - ::GetTickCount64())) &&
                ::GetLastError() != ERROR_MORE_DATA) {
                return false;
            }
            line.append(chunk, got);
            if (const auto end = line.find('\n'); end != std::string::npos) {
                line.resize(end);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                NameTheClient();
                return line.size() <= kLocalRequestBytes;
            }
            if (line.size() > kLocalRequestBytes) {
                return false;
            }
        }
        return false;
    }

    bool WriteLine(const std::string& line) override {
        std::string text = line + "\n";
        DWORD wrote = 0;
        return Transfer(pipe_.get(), event_.get(), true, text.data(), static_cast<DWORD>(text.size()), wrote, kWriteTimeMs) &&
               wrote == text.size();
    }

    bool WaitWhileConnected(const std::function<bool()>& stop) override {
        while (!stop()) {
            // The client sends nothing more: a pipe it closed fails the peek.
            if (!::PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, nullptr, nullptr)) {
                return false;
            }
            ::Sleep(100);
        }
        return true;
    }

    std::string Account() const override { return account_; }

private:
    // The client's account, read as the client (it lets the agent identify
    // it, no more: the client asks for identification only).
    void NameTheClient() {
        if (!account_.empty()) {
            return;
        }
        wchar_t name[257] = {};
        DWORD size = 257;
        if (::ImpersonateNamedPipeClient(pipe_.get())) {
            if (::GetUserNameW(name, &size)) {
                account_ = WideToUtf8(name);
            }
            ::RevertToSelf();
        }
        if (account_.empty()) {
            account_ = "unknown account";
        }
    }

    Handle pipe_;
    Handle event_;
    std::string account_;
};

// Deny ACEs first: network logons; then full access for SYSTEM, the
// administrators and the owner.
constexpr const wchar_t* kPipeSecurity = L"D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)";

HANDLE MakePipe(const std::wstring& name, bool first) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurity, SDDL_REVISION_1, &descriptor, nullptr)) {
        return INVALID_HANDLE_VALUE;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const HANDLE pipe = ::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, PIPE_UNLIMITED_INSTANCES, 4096,
        4096, 0, &attributes);
    ::LocalFree(descriptor);
    return pipe;
}

class PipeChannel final : public LocalChannel {
public:
    PipeChannel(std::wstring name, HANDLE firstPipe, LocalCommands& commands)
        : name_(std::move(name)), next_(firstPipe), commands_(commands),
          stop_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), connected_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        acceptor_ = ::CreateThread(nullptr, 0, &PipeChannel::AcceptThread, this, 0, nullptr);
    }
    ~PipeChannel() override {
        commands_.Stop();
        ::SetEvent(stop_.get());
        if (acceptor_ != nullptr) {
            ::WaitForSingleObject(acceptor_, INFINITE);
            ::CloseHandle(acceptor_);
        }
        for (Worker& worker : workers_) {
            ::WaitForSingleObject(worker.thread, INFINITE);
            ::CloseHandle(worker.thread);
        }
        if (next_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(next_);
        }
    }
    PipeChannel(const PipeChannel&) = delete;
    PipeChannel& operator=(const PipeChannel&) = delete;

private:
    struct Worker {
        PipeChannel* channel = nullptr;
        HANDLE pipe = INVALID_HANDLE_VALUE;
        HANDLE thread = nullptr;
        volatile LONG done = 0;
    };

    static DWORD WINAPI AcceptThread(void* self) {
        static_cast<PipeChannel*>(self)->Accept();
        return 0;
    }
    static DWORD WINAPI WorkerThread(void* argument) {
        auto* worker = static_cast<Worker*>(argument);
        {
            PipeConnection connection(worker->pipe);
            worker->channel->commands_.Serve(connection);
        }
        ::InterlockedExchange(&worker->done, 1);
        return 0;
    }

    void Accept() {
        while (next_ != INVALID_HANDLE_VALUE) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = connected_.get();
            ::ResetEvent(connected_.get());
            bool connected = ::ConnectNamedPipe(next_, &overlapped) != 0 || ::GetLastError() == ERROR_PIPE_CONNECTED;
            if (!connected && ::GetLastError() == ERROR_IO_PENDING) {
                const HANDLE events[2] = {connected_.get(), stop_.get()};
                if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
                    ::CancelIoEx(next_, &overlapped);
                    DWORD ignored = 0;
                    ::GetOverlappedResult(next_, &overlapped, &ignored, TRUE);
                    return;
                }
                DWORD ignored = 0;
                connected = ::GetOverlappedResult(next_, &overlapped, &ignored, FALSE) != 0;
            }
            const HANDLE pipe = next_;
            next_ = MakePipe(name_, false);
            if (connected) {
                Serve(pipe);
            } else {
                ::CloseHandle(pipe);
            }
        }
    }

    void Serve(HANDLE pipe) {
        workers_.remove_if([](Worker& worker) {
            if (worker.done == 0) {
                return false;
            }
            ::WaitForSingleObject(worker.thread, INFINITE);
            ::CloseHandle(worker.thread);
            return true;
        });
        if (workers_.size() >= kMostConnections) {
            PipeConnection busy(pipe);
            busy.WriteLine("out the agent serves " + std::to_string(kMostConnections) +
                           " local connections at once: try again when one has ended");
            busy.WriteLine("exit " + std::to_string(kExitNoAgent));
            return;
        }
        Worker& worker = workers_.emplace_back();
        worker.channel = this;
        worker.pipe = pipe;
        worker.thread = ::CreateThread(nullptr, 0, &PipeChannel::WorkerThread, &worker, 0, nullptr);
        if (worker.thread == nullptr) {
            ::CloseHandle(pipe);
            workers_.pop_back();
        }
    }

    std::wstring name_;
    HANDLE next_;
    LocalCommands& commands_;
    Handle stop_;
    Handle connected_;
    HANDLE acceptor_ = nullptr;
    std::list<Worker> workers_; // the acceptor's thread's alone, and the destructor's after it
};

} // namespace

// One agent a journal: the pipe is named after the journal folder, as the
// settings spell it (case folded, as the file system folds it).
std::string LocalChannelAddress(const std::string& journalFolder) {
    uint64_t hash = 1469598103934665603ULL; // FNV-1a
    for (const char c : journalFolder) {
        const char folded = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        hash = (hash ^ static_cast<unsigned char>(folded)) * 1099511628211ULL;
    }
    char name[64];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\cashdrawer-agent-%016llx", static_cast<unsigned long long>(hash));
    return name;
}

std::unique_ptr<LocalChannel> StartLocalChannel(const std::string& address, LocalCommands& commands, std::string& error) {
    const std::wstring name = Utf8ToWide(address);
    const HANDLE first = MakePipe(name, true);
    if (first == INVALID_HANDLE_VALUE) {
        error = address + ": " + LastErrorText() + " (another program may hold the name)";
        return nullptr;
    }
    return std::make_unique<PipeChannel>(name, first, commands);
}

int RunLocalCommand(const std::string& address, const std::string& request, std::ostream& out, std::ostream& err) {
    const std::wstring name = Utf8ToWide(address);
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 3 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
        pipe = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_PIPE_BUSY) {
            ::WaitNamedPipeW(name.c_str(), 2000);
        } else if (pipe == INVALID_HANDLE_VALUE) {
            break;
        }
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        const DWORD why = ::GetLastError();
        err << "cashdrawer-agent: " << address << ": "
            << (why == ERROR_ACCESS_DENIED ? "this account may not use the agent's channel (its own account, SYSTEM and "
                                             "the administrators may)"
                : why == ERROR_FILE_NOT_FOUND ? "no agent answers here (is the service running?)"
                                              : LastErrorText())
            << "\n";
        return kExitNoAgent;
    }
    Handle held(pipe);
    const std::string line = request + "\n";
    DWORD wrote = 0;
    ::WriteFile(pipe, line.data(), static_cast<DWORD>(line.size()), &wrote, nullptr);
    std::string pending;
    char chunk[4096];
    for (;;) {
        if (const auto code = TakeAnswerLines(pending, out)) {
            return *code;
        }
        DWORD got = 0;
        if (!::ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) || got == 0) {
            err << "cashdrawer-agent: " << address << ": the agent ended the answer before its end\n";
            return kExitNoAgent;
        }
        pending.append(chunk, got);
    }
}

} // namespace cashdrawer::agent
