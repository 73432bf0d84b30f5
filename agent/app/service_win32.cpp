#include "app/service.h"

#include "watch/system_log.h"

#include "os/win32_error.h"

namespace cashdrawer::agent {
namespace {

// The longest a stop may take: a confirmed kick under way finishes first
// (its time-out, 5 s by default) and the agent journals its stop.
constexpr DWORD kStopWaitHintMs = 10000;

struct ServiceState {
    SERVICE_STATUS_HANDLE handle = nullptr;
    SERVICE_STATUS status{};
    HANDLE stopEvent = nullptr;
    const ServeFunction* serve = nullptr;
    int exitCode = 0;
};
ServiceState service;

void Report(DWORD state, DWORD waitHintMs = 0) {
    static DWORD checkPoint = 1;
    service.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    service.status.dwCurrentState = state;
    service.status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    service.status.dwWaitHint = waitHintMs;
    service.status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : checkPoint++;
    service.status.dwWin32ExitCode = state == SERVICE_STOPPED && service.exitCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    service.status.dwServiceSpecificExitCode = static_cast<DWORD>(service.exitCode);
    ::SetServiceStatus(service.handle, &service.status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Report(SERVICE_STOP_PENDING, kStopWaitHintMs);
        ::SetEvent(service.stopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
    service.handle = ::RegisterServiceCtrlHandlerExW(Utf8ToWide(kServiceName).c_str(), OnControl, nullptr);
    if (service.handle == nullptr) {
        return;
    }
    Report(SERVICE_START_PENDING, 3000);
    service.stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Report(SERVICE_RUNNING);
    auto wait = MakeServiceServeWait(service.stopEvent);
    service.exitCode = (*service.serve)(*wait);
    Report(SERVICE_STOPPED);
}

// The SCM's handles, closed on every road out.
class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ScHandle() {
        if (handle_ != nullptr) {
            ::CloseServiceHandle(handle_);
        }
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

// The system's words for the failure that just happened, taken before
// anything else can overwrite the thread's last error.
int Refused(std::ostream& err, const char* what) {
    const std::string why = LastErrorText();
    err << "cashdrawer-agent: " << what << ": " << why << "\n";
    return 7;
}

std::wstring ProgramPath() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

// Waits, a bounded time, for the service to reach `state`.
bool AwaitState(SC_HANDLE handle, DWORD state, DWORD limitMs) {
    SERVICE_STATUS status{};
    for (DWORD waited = 0; waited <= limitMs; waited += 100) {
        if (!::QueryServiceStatus(handle, &status)) {
            return false;
        }
        if (status.dwCurrentState == state) {
            return true;
        }
        ::Sleep(100);
    }
    return false;
}

} // namespace

int ServiceCommand(const std::string& action, const std::string& settingsFile, const ServeFunction& serve,
                   std::ostream& out, std::ostream& err) {
    if (action == "run") {
        service.serve = &serve;
        wchar_t name[64] = {};
        const std::wstring wide = Utf8ToWide(kServiceName);
        wide.copy(name, wide.size());
        SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
        if (!::StartServiceCtrlDispatcherW(table)) {
            return Refused(err, "the service's dispatcher did not start (run by the Service Control Manager only)");
        }
        return service.exitCode;
    }
    const DWORD access = action == "install" ? SC_MANAGER_CREATE_SERVICE : SC_MANAGER_CONNECT;
    ScHandle manager(::OpenSCManagerW(nullptr, nullptr, access));
    if (manager.get() == nullptr) {
        return Refused(err, "the Service Control Manager refused (run as an administrator)");
    }
    if (action == "install") {
        const std::wstring command =
            L"\"" + ProgramPath() + L"\" --config \"" + Utf8ToWide(settingsFile) + L"\" service run";
        ScHandle created(::CreateServiceW(manager.get(), Utf8ToWide(kServiceName).c_str(), L"Cash drawer agent",
                                          SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                          SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr, nullptr,
                                          nullptr));
        if (created.get() == nullptr) {
            return Refused(err, "the service could not be installed");
        }
        out << "installed the service " << kServiceName << ", settings " << settingsFile << "\n";
        // Its events go to the Application log under the same name.
        std::string error;
        if (!RegisterEventLogSource(WideToUtf8(ProgramPath()), error)) {
            err << "cashdrawer-agent: " << error << ": the Event Log shows its entries without their titles\n";
        }
        return 0;
    }
    ScHandle handle(::OpenServiceW(manager.get(), Utf8ToWide(kServiceName).c_str(),
                                   SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (handle.get() == nullptr) {
        return Refused(err, "the service CashDrawerAgent could not be opened (is it installed?)");
    }
    if (action == "start") {
        if (!::StartServiceW(handle.get(), 0, nullptr)) {
            return Refused(err, "the service did not start");
        }
        if (!AwaitState(handle.get(), SERVICE_RUNNING, 5000)) {
            err << "cashdrawer-agent: the service started but did not report running within 5 s; see "
                   "cashdrawer-agent.log beside its settings\n";
            return 7;
        }
        out << "started " << kServiceName << "\n";
        return 0;
    }
    if (action == "stop") {
        SERVICE_STATUS status{};
        if (!::ControlService(handle.get(), SERVICE_CONTROL_STOP, &status) ||
            !AwaitState(handle.get(), SERVICE_STOPPED, kStopWaitHintMs + 2000)) {
            return Refused(err, "the service did not stop");
        }
        out << "stopped " << kServiceName << "\n";
        return 0;
    }
    if (action == "uninstall") {
        if (!::DeleteService(handle.get())) {
            return Refused(err, "the service could not be removed");
        }
        UnregisterEventLogSource();
        out << "removed the service " << kServiceName << "\n";
        return 0;
    }
    err << "cashdrawer-agent: service " << action << ": install, uninstall, start, stop or run\n";
    return 1;
}

} // namespace cashdrawer::agent
