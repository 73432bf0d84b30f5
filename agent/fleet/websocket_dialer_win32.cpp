#include "fleet/websocket_dialer_win32.h"

#include "os/win32_error.h"

#include "cash_drawer_version.h"

#include <utility>
#include <vector>

namespace cashdrawer::agent {
namespace {

// Each step of a connection waits at most this long; the stop waits for a
// dial under way, so it is short of a service manager's patience.
constexpr int kDialStepMs = 10'000;

// WinHTTP's errors in words a till's operator can act on (the system has
// no message text for them outside winhttp.dll, and Wine none at all).
std::string WinHttpWords(DWORD code) {
    switch (code) {
    case ERROR_WINHTTP_CANNOT_CONNECT: return "the broker cannot be reached: the connection was refused or timed out";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "the broker's name cannot be resolved";
    case ERROR_WINHTTP_TIMEOUT: return "the broker did not answer in time";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "the connection to the broker failed: The connection was lost.";
    case ERROR_WINHTTP_SECURE_FAILURE:
        return "the broker's certificate cannot be trusted (TLS failure): its CA must be in the machine's store";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        return "the broker's certificate or its TLS is refused (secure channel error): its CA must be in the "
               "machine's store";
    case ERROR_WINHTTP_SECURE_INVALID_CA: return "the broker's certificate is from a CA this machine does not trust";
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID: return "the broker's certificate names another host";
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID: return "the broker's certificate has expired or is not valid yet";
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
        return "the broker asks for the till's certificate: set [Mqtt] CertificateThumbprint";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "the broker's answer is not HTTP";
    case static_cast<DWORD>(SEC_E_UNKNOWN_CREDENTIALS):
        // The certificate was found, its private key is not to be had.
        return "the till's certificate cannot be used: its private key is missing, or the agent's account may not "
               "use it (import it with its key, and give the account read access to the key)";
    default: return "WinHTTP error " + std::to_string(code);
    }
}

class Handle {
public:
    Handle() = default;
    explicit Handle(HINTERNET handle) : handle_(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (handle_ != nullptr) {
            ::WinHttpCloseHandle(handle_);
        }
    }
    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    HINTERNET handle_ = nullptr;
};

class WebSocketConnection final : public BrokerConnection {
public:
    explicit WebSocketConnection(HINTERNET socket) : socket_(socket) {}
    ~WebSocketConnection() override { Close(); }

    bool Send(const std::string& bytes) override {
        HINTERNET socket = Socket();
        if (socket == nullptr) {
            return false;
        }
        const DWORD error = ::WinHttpWebSocketSend(socket, WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE,
                                                   const_cast<char*>(bytes.data()), static_cast<DWORD>(bytes.size()));
        return Succeeded(error);
    }

    bool Receive(std::string& bytes) override {
        char buffer[4096];
        DWORD got = 0;
        WINHTTP_WEB_SOCKET_BUFFER_TYPE type{};
        HINTERNET socket = Socket();
        if (socket == nullptr) {
            return false;
        }
        const DWORD error = ::WinHttpWebSocketReceive(socket, buffer, sizeof buffer, &got, &type);
        if (!Succeeded(error)) {
            return false;
        }
        if (type == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) {
            return false; // the broker closed: an orderly end, in no words of the system's
        }
        if (type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE || type == WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE) {
            failure_ = "the broker sent text frames: MQTT over a WebSocket is binary";
            return false;
        }
        bytes.append(buffer, got);
        return true;
    }

    void Close() override {
        // Closing the handle ends a receive waiting on another thread; the
        // handle is taken first, so that no call starts on it afterwards.
        HINTERNET socket = nullptr;
        {
            std::lock_guard lock(mutex_);
            socket = std::exchange(socket_, nullptr);
        }
        if (socket != nullptr) {
            ::WinHttpCloseHandle(socket);
        }
    }

    std::string Failure() const override {
        std::lock_guard lock(mutex_);
        return failure_;
    }

private:
    HINTERNET Socket() {
        std::lock_guard lock(mutex_);
        return socket_;
    }
    bool Succeeded(DWORD error) {
        if (error == ERROR_SUCCESS) {
            return true;
        }
        std::lock_guard lock(mutex_);
        // Whatever WinHTTP calls it (a reset, an answer that is no longer a
        // frame, a cancelled receive), an established connection that
        // fails is lost: the Linux agent's words for it.
        if (failure_.empty() && socket_ != nullptr) {
            failure_ = "The connection was lost.";
        }
        return false;
    }

    mutable AgentMutex mutex_;
    HINTERNET socket_;
    std::string failure_;
};

} // namespace

ClientCertificate::~ClientCertificate() {
    if (context_ != nullptr) {
        ::CertFreeCertificateContext(context_);
    }
    if (store_ != nullptr) {
        ::CertCloseStore(store_, 0);
    }
}

bool ClientCertificate::Find(const std::string& thumbprintHex, std::string& error) {
    std::vector<BYTE> hash;
    for (std::size_t at = 0; at + 1 < thumbprintHex.size(); at += 2) {
        hash.push_back(static_cast<BYTE>(std::stoi(thumbprintHex.substr(at, 2), nullptr, 16)));
    }
    store_ = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                             CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG,
                             L"MY");
    if (store_ == nullptr) {
        error = "the machine's certificate store cannot be opened: " + LastErrorText();
        return false;
    }
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
    context_ =
        ::CertFindCertificateInStore(store_, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_HASH, &blob, nullptr);
    if (context_ == nullptr) {
        error = "no certificate with the thumbprint " + thumbprintHex +
                " is in the machine's store (Local Computer, Personal)";
        return false;
    }
    return true;
}

WebSocketDialer::WebSocketDialer(MqttSettings mqtt, int receiveTimeoutMs)
    : mqtt_(std::move(mqtt)), receiveTimeoutMs_(receiveTimeoutMs) {}

WebSocketDialer::~WebSocketDialer() {
    if (session_ != nullptr) {
        ::WinHttpCloseHandle(session_);
    }
}

bool WebSocketDialer::Open(std::string& error) {
    if (!mqtt_.certificateThumbprint.empty() && !certificate_.Find(mqtt_.certificateThumbprint, error)) {
        return false;
    }
    session_ = ::WinHttpOpen(Utf8ToWide(std::string("cashdrawer-agent/") + CASH_DRAWER_VERSION).c_str(),
                             WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session_ == nullptr) {
        error = "WinHTTP cannot be started: " + LastErrorText();
        return false;
    }
    ::WinHttpSetTimeouts(session_, kDialStepMs, kDialStepMs, kDialStepMs, receiveTimeoutMs_);
    return true;
}

std::unique_ptr<BrokerConnection> WebSocketDialer::Dial(std::string& cause) {
    const auto fail = [&cause](DWORD code) -> std::unique_ptr<BrokerConnection> {
        cause = WinHttpWords(code);
        return nullptr;
    };
    Handle connection(::WinHttpConnect(session_, Utf8ToWide(mqtt_.host).c_str(), mqtt_.port, 0));
    if (!connection) {
        return fail(::GetLastError());
    }
    Handle request(::WinHttpOpenRequest(connection.get(), L"GET", Utf8ToWide(mqtt_.path).c_str(), nullptr,
                                        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                        mqtt_.tls ? WINHTTP_FLAG_SECURE : 0));
    if (!request || !::WinHttpSetOption(request.get(), WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0) ||
        !::WinHttpAddRequestHeaders(request.get(), L"Sec-WebSocket-Protocol: mqtt", static_cast<DWORD>(-1),
                                    WINHTTP_ADDREQ_FLAG_ADD)) {
        return fail(::GetLastError());
    }
    if (certificate_.Context() != nullptr &&
        !::WinHttpSetOption(request.get(), WINHTTP_OPTION_CLIENT_CERT_CONTEXT,
                            const_cast<CERT_CONTEXT*>(certificate_.Context()), sizeof(CERT_CONTEXT))) {
        return fail(::GetLastError());
    }
    if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        return fail(::GetLastError());
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    ::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    if (status != 101) {
        cause = "the broker's address answered HTTP " + std::to_string(status) +
                ", not a WebSocket: is the path (" + mqtt_.path + ") its WebSocket listener's?";
        return nullptr;
    }
    HINTERNET socket = ::WinHttpWebSocketCompleteUpgrade(request.get(), 0);
    if (socket == nullptr) {
        return fail(::GetLastError());
    }
    return std::make_unique<WebSocketConnection>(socket);
}

} // namespace cashdrawer::agent
