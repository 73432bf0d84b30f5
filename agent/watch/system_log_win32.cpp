// The Windows Event Log: the Application log, under the event source
// CashDrawerAgent, whose messages (agent_messages.mc) are in the agent's own
// program. `service install` registers the source; an agent run before
// that still writes, and the Event Viewer shows the words without the
// message's title.
#include "watch/system_log.h"

#include "core/service_name.h"
#include "os/win32_error.h"

namespace cashdrawer::agent {
namespace {

const std::wstring kSourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + Utf8ToWide(kServiceName);

class EventLog final : public SystemLog {
public:
    EventLog() : source_(::RegisterEventSourceW(nullptr, Utf8ToWide(kServiceName).c_str())) {}
    ~EventLog() override {
        if (source_ != nullptr) {
            ::DeregisterEventSource(source_);
        }
    }
    void Write(const SystemLogEntry& entry) override {
        if (source_ == nullptr) {
            return;
        }
        const WORD type = entry.severity == LogSeverity::Error     ? EVENTLOG_ERROR_TYPE
                          : entry.severity == LogSeverity::Warning ? EVENTLOG_WARNING_TYPE
                                                                   : EVENTLOG_INFORMATION_TYPE;
        const std::wstring text = Utf8ToWide(entry.text);
        const wchar_t* inserts[] = {text.c_str()};
        ::ReportEventW(source_, type, 0, entry.eventId, nullptr, 1, 0, inserts, nullptr);
    }

private:
    HANDLE source_;
};

} // namespace

std::unique_ptr<SystemLog> OpenSystemLog() { return std::make_unique<EventLog>(); }

bool RegisterEventLogSource(const std::string& programPath, std::string& error) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                          nullptr) != ERROR_SUCCESS) {
        error = "the event source cannot be registered (run as an administrator)";
        return false;
    }
    const std::wstring file = Utf8ToWide(programPath);
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    const bool done =
        ::RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                         static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
        ::RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types) ==
            ERROR_SUCCESS;
    ::RegCloseKey(key);
    if (!done) {
        error = "the event source's values cannot be written";
    }
    return done;
}

void UnregisterEventLogSource() { ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSourceKey.c_str()); }

} // namespace cashdrawer::agent
