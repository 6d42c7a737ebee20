#include "app/startup.hpp"

#include <cerrno>
#include <chrono>
#include <iostream>
#include <thread>

#include <sys/resource.h>

#include "config/config_loading.hpp"
#include "connection/admission.hpp"

rtc::WebSocketServerConfiguration makeServerConfiguration(const ServerSettings& s) {
    rtc::WebSocketServerConfiguration config{};
    config.port = s.port;
    if (!s.bind_address.empty() && s.bind_address != "0.0.0.0")
        config.bindAddress = s.bind_address;
    if (s.connection_timeout_ms != 0)
        config.connectionTimeout = std::chrono::milliseconds(s.connection_timeout_ms);
    if (s.max_message_size != 0)
        config.maxMessageSize = s.max_message_size;
    if (s.tls_enabled) {
        config.enableTls = true;
        config.certificatePemFile = s.tls_cert_file;
        config.keyPemFile = s.tls_key_file;
        if (!s.tls_key_password.empty())
            config.keyPemPass = s.tls_key_password;
    }
    return config;
}

void printSummary(std::ostream& out, const ServerSettings& s) {
    out << "murva-signal listening on " << (s.tls_enabled ? "wss" : "ws") << "://" << s.bind_address << ":"
        << s.port << "\n";
    out << "Share this server's address with your buddies as the \"Server\" field.\n";
    out << (serverPassword.empty() ? "No server password set (open server).\n"
                                   : "Server password required to join.\n");
    out << (allowTurn ? "TURN-relayed transfers allowed.\n"
                      : "TURN disabled - direct P2P only (relay candidates stripped).\n");
    out << "Limits: max_connections=" << s.max_connections << ", per_ip=" << s.max_connections_per_ip
        << ", max_rooms=" << s.max_rooms << ", max_message_size=" << s.max_message_size << "B\n";
}

void raiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int runServer(int argc, char** argv) {
    ServerSettings settings;
    if (!loadSettings(argc, argv, settings))
        return 1;
    applyPasswordFromEnvironment(settings);
    publishSettings(settings);
    initLogging(settings);
    raiseOpenFileLimit();

    std::shared_ptr<rtc::WebSocketServer> server;
    try {
        server = std::make_shared<rtc::WebSocketServer>(makeServerConfiguration(settings));
    } catch (const std::exception& e) {
        std::cerr << "Failed to start server on port " << settings.port << ": " << e.what() << "\n";
        return 1;
    }
    server->onClient(handleClient);
    printSummary(std::cout, settings);

    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1)); // sleep_for resumes after a signal by itself
}
