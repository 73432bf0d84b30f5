// `cashdrawer-agent fleet watch` on Windows: the watch of stream_watch.h
// over the WebSocket the Windows agent publishes through.
#include "fleet/fleet_view.h"
#include "fleet/stream_watch.h"
#include "fleet/websocket_dialer_win32.h"

#include "config/profile_ini.h"
#include "os/durable_files.h"

#include <csignal>
#include <ostream>

namespace cashdrawer::agent {
namespace {

volatile std::sig_atomic_t interrupted = 0;

} // namespace

int WatchFleet(const FleetWatchOptions& options, std::ostream& out, std::ostream& err) {
    const auto broker = ParseBroker(options.broker);
    if (!broker || !broker->webSocket) {
        err << "cashdrawer-agent: fleet watch --broker " << options.broker
            << ": ws://HOST[:PORT][/PATH] or wss://HOST[:PORT][/PATH] is needed (the broker's WebSocket listener)\n";
        return 1;
    }
    if (!options.caFile.empty() || !options.certificateFile.empty() || !options.keyFile.empty()) {
        err << "cashdrawer-agent: fleet watch: on Windows the broker's certificate is checked against the machine's "
               "trusted CAs: --ca-file, --certificate and --key are for Linux\n";
        return 1;
    }
    std::optional<WatchLogin> login;
    if (!options.credentialsFile.empty()) {
        std::string why;
        const auto text = ReadFileBytes(options.credentialsFile, kMaxSmallFileBytes, &why);
        if (!text) {
            err << "cashdrawer-agent: fleet watch: " << options.credentialsFile
                << ": the file cannot be read: " << (why.empty() ? "no such file" : why) << "\n";
            return 1;
        }
        login = WatchLogin{ReadIniValue(*text, "Mqtt", "Username"), ReadIniValue(*text, "Mqtt", "Password")};
    }
    MqttSettings mqtt;
    mqtt.host = broker->host;
    mqtt.tls = broker->tls.value_or(false);
    mqtt.port = broker->PortFor(mqtt.tls);
    mqtt.webSocket = true;
    mqtt.path = broker->path;
    constexpr int kKeepAliveSeconds = 30;
    WebSocketDialer dialer(mqtt, kKeepAliveSeconds * 2 * 1000);
    std::string error;
    if (!dialer.Open(error)) {
        err << "cashdrawer-agent: fleet watch: " << error << "\n";
        return 1;
    }
    std::signal(SIGINT, [](int) { interrupted = 1; });
    std::signal(SIGTERM, [](int) { interrupted = 1; });
    return WatchFleetOver(dialer, options, login, out, err, [] { return interrupted != 0; }, kKeepAliveSeconds);
}

} // namespace cashdrawer::agent
