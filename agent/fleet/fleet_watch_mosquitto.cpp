// `cashdrawer-agent fleet watch`: a head-office subscriber on libmosquitto.
#include "fleet/fleet_view.h"
#include "journal/journal.h"
#include "journal/journal_line.h"
#include "core/settings.h"

#include "config/profile_ini.h"

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ostream>
#include <thread>

namespace cashdrawer::agent {
namespace {

volatile std::sig_atomic_t interrupted = 0;

// The watch's own time, in the journal's form, for what it saw and when.
std::string NowUtc() {
    return FormatUtcMillis(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count());
}

struct Watch {
    FleetView view;
    std::ostream* err = nullptr;
    bool connected = false;
};

} // namespace

int WatchFleet(const FleetWatchOptions& options, std::ostream& out, std::ostream& err) {
    const auto broker = ParseBroker(options.broker);
    if (!broker) {
        err << "cashdrawer-agent: fleet watch --broker " << options.broker
            << ": mqtt://HOST[:PORT] or mqtts://HOST[:PORT] is needed\n";
        return 1;
    }
    const bool tls = broker->tls.value_or(false) || !options.caFile.empty();
    const int port = broker->PortFor(tls);
    mosquitto_lib_init();
    Watch watch;
    watch.err = &err;
    mosquitto* client = mosquitto_new(nullptr, true, &watch);
    if (client == nullptr) {
        err << "cashdrawer-agent: fleet watch: the MQTT client cannot be made\n";
        return 1;
    }
    if (!options.credentialsFile.empty()) {
        std::string why;
        const auto text = ReadFileBytes(options.credentialsFile, kMaxSmallFileBytes, &why);
        if (!text) {
            err << "cashdrawer-agent: fleet watch: " << options.credentialsFile
                << ": the file cannot be read: " << (why.empty() ? "no such file" : why) << "\n";
            mosquitto_destroy(client);
            return 1;
        }
        const std::string user = ReadIniValue(*text, "Mqtt", "Username");
        const std::string password = ReadIniValue(*text, "Mqtt", "Password");
        mosquitto_username_pw_set(client, user.c_str(), password.empty() ? nullptr : password.c_str());
    }
    if (options.certificateFile.empty() != options.keyFile.empty() || (!options.certificateFile.empty() && !tls)) {
        err << "cashdrawer-agent: fleet watch: --certificate and --key go together, with mqtts:// or --ca-file\n";
        mosquitto_destroy(client);
        return 1;
    }
    if (tls) {
        const int rc = mosquitto_tls_set(client, options.caFile.empty() ? nullptr : options.caFile.c_str(),
                                         options.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                                         options.certificateFile.empty() ? nullptr : options.certificateFile.c_str(),
                                         options.keyFile.empty() ? nullptr : options.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            err << "cashdrawer-agent: fleet watch: the TLS files cannot be used: " << mosquitto_strerror(rc) << "\n";
            mosquitto_destroy(client);
            return 1;
        }
    }
    mosquitto_connect_callback_set(client, [](mosquitto* mosq, void* self, int code) {
        auto* watch = static_cast<Watch*>(self);
        if (code != 0) {
            *watch->err << "cashdrawer-agent: fleet watch: the broker refused: " << mosquitto_connack_string(code) << "\n";
            return;
        }
        watch->connected = true;
        mosquitto_subscribe(mosq, nullptr, "cashdrawer/v1/#", 1);
    });
    mosquitto_message_callback_set(client, [](mosquitto*, void* self, const mosquitto_message* message) {
        const std::string payload(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen));
        static_cast<Watch*>(self)->view.Take(message->topic, payload, NowUtc(), message->retain);
    });
    int rc = mosquitto_connect(client, broker->host.c_str(), port, 30);
    if (rc != MOSQ_ERR_SUCCESS) {
        err << "cashdrawer-agent: fleet watch: " << options.broker << ": "
            << (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)) << "\n";
        mosquitto_destroy(client);
        return 1;
    }
    std::signal(SIGINT, [](int) { interrupted = 1; });
    std::signal(SIGTERM, [](int) { interrupted = 1; });
    const auto start = std::chrono::steady_clock::now();
    auto nextPrint = start + std::chrono::seconds(options.everySeconds);
    const auto print = [&] {
        out << (options.json ? watch.view.ToJson(NowUtc()).dump() + "\n" : watch.view.Table() + "\n") << std::flush;
    };
    while (interrupted == 0) {
        rc = mosquitto_loop(client, 100, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            // A broker restart: a try a second; the subscription is made
            // again on connecting. (The pace spares the CPU and the
            // broker's log; a faster one would see the broker back no
            // sooner in any way a test could tell.)
            std::this_thread::sleep_for(std::chrono::seconds(1));
            mosquitto_reconnect(client);
        }
        const auto now = std::chrono::steady_clock::now();
        if (options.forSeconds != 0 && now - start >= std::chrono::seconds(options.forSeconds)) {
            break;
        }
        if (options.everySeconds != 0 && now >= nextPrint) {
            print();
            nextPrint = now + std::chrono::seconds(options.everySeconds);
        }
    }
    print();
    // A polite goodbye: the watch has no Last Will, so the broker's only
    // difference is the line it logs.
    mosquitto_disconnect(client);
    mosquitto_destroy(client);
    return watch.connected ? 0 : 1;
}

} // namespace cashdrawer::agent
