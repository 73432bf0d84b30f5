// The Windows agent's fleet publisher: our MQTT client (stream_fleet.h)
// over a WebSocket through WinHTTP (websocket_dialer_win32.h).
#include "fleet/fleet_service.h"
#include "fleet/stream_fleet.h"
#include "fleet/websocket_dialer_win32.h"

namespace cashdrawer::agent {

std::unique_ptr<FleetService> StartFleetService(const AgentSettings& settings, Agent& agent,
                                                const std::string& libraryVersion,
                                                std::function<void(const std::string&)> log, std::string& error,
                                                const Statistics* countedSoFar) {
    if (!settings.mqtt.webSocket) {
        error = "the Windows agent reaches its broker over a WebSocket: Broker=ws://HOST[:PORT][/PATH] or "
                "wss://HOST[:PORT][/PATH] (a broker's WebSocket listener)";
        return nullptr;
    }
    if (!settings.mqtt.caFile.empty() || !settings.mqtt.certificateFile.empty()) {
        error = "on Windows the certificates are the machine store's: import the broker's CA there and name the "
                "till's own by [Mqtt] CertificateThumbprint, not by file";
        return nullptr;
    }
    const StreamFleetTimes times;
    // A receive waits through a keep-alive and its PINGRESP; a connection
    // quiet for longer is dead, whether or not closing it could end the wait.
    auto dialer = std::make_unique<WebSocketDialer>(settings.mqtt, times.keepAliveSeconds * 2 * 1000);
    if (!dialer->Open(error)) {
        return nullptr;
    }
    auto fleet = std::make_unique<StreamFleet>(settings, libraryVersion, std::move(dialer), std::move(log), countedSoFar,
                                               times);
    if (!fleet->Start(error)) {
        return nullptr;
    }
    agent.OnEvent([raw = fleet.get()](const JournalledEvent&) { raw->Wake(); });
    return fleet;
}

} // namespace cashdrawer::agent
