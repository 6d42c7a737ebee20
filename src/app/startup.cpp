// Start-up of the server process.
#include "app/startup.hpp"

#include <chrono>
#include <iostream>
#include <thread>

#include <sys/resource.h>

#include "app/logging.hpp"
#include "app/server.hpp"
#include "config/config_loading.hpp"

namespace murva {

void printSummary(std::ostream& out, const ServerSettings& s) {
    out << "murva-signal listening on " << (s.tls.enabled ? "wss" : "ws") << "://" << s.bindAddress << ":" << s.port
        << "\n";
    out << "Share this server's address with your buddies as the \"Server\" field.\n";
    out << (s.password.empty() ? "No server password set (open server).\n" : "Server password required to join.\n");
    out << (s.allowTurn ? "TURN-relayed transfers allowed.\n"
                        : "TURN disabled - direct P2P only (relay candidates stripped).\n");
    out << "Limits: max_connections=" << s.maxConnections << ", per_ip=" << s.maxConnectionsPerIp
        << ", max_rooms=" << s.maxRooms << ", max_message_size=" << s.maxMessageSize << "B\n";
    if (s.turn)
        out << "TURN credentials: " << s.turn->urls.size() << " urls, ttl " << s.turn->ttlSeconds << " s\n";
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
    applyPasswordFromEnvironment(settings); // the TURN secret's variable was applied while loading
    initLogging(settings);
    raiseOpenFileLimit();

    std::unique_ptr<Server> server;
    try {
        server = std::make_unique<Server>(settings);
    } catch (const std::exception& e) {
        std::cerr << "Failed to start server on port " << settings.port << ": " << e.what() << "\n";
        return 1;
    }
    printSummary(std::cout, settings);

    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1)); // sleep_for resumes after a signal by itself
}

} // namespace murva
