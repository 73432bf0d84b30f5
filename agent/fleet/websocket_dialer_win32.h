// A WebSocket to the broker (subprotocol "mqtt") through WinHTTP, for the
// Windows agent's fleet publisher and its watch. The system's HTTP stack
// brings what a chain's Windows tills are set up with: its TLS, the
// machine's proxy setting (netsh winhttp) and its certificate store, both
// for the broker's certificate and for the till's own.
#pragma once

#include "core/settings.h"
#include "fleet/stream_fleet.h"

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <memory>
#include <string>

namespace cashdrawer::agent {

// The till's certificate from the machine's store (Local Computer,
// Personal), found by its SHA-1 thumbprint.
class ClientCertificate {
public:
    ClientCertificate() = default;
    ClientCertificate(const ClientCertificate&) = delete;
    ClientCertificate& operator=(const ClientCertificate&) = delete;
    ~ClientCertificate();
    bool Find(const std::string& thumbprintHex, std::string& error);
    PCCERT_CONTEXT Context() const { return context_; }

private:
    HCERTSTORE store_ = nullptr;
    PCCERT_CONTEXT context_ = nullptr;
};

class WebSocketDialer final : public BrokerDialer {
public:
    // `receiveTimeoutMs`: how long a receive may wait for the broker.
    WebSocketDialer(MqttSettings mqtt, int receiveTimeoutMs);
    ~WebSocketDialer() override;
    // WinHTTP's session, and the till's certificate when the settings name one.
    bool Open(std::string& error);
    std::unique_ptr<BrokerConnection> Dial(std::string& cause) override;

private:
    MqttSettings mqtt_;
    int receiveTimeoutMs_;
    ClientCertificate certificate_;
    HINTERNET session_ = nullptr;
};

} // namespace cashdrawer::agent
