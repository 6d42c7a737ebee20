// Start-up of the server process.
#include "app/startup.hpp"

#include <csignal>
#include <iostream>
#include <string_view>

#include <sys/resource.h>

#include "app/console_lines.hpp"
#include "app/healthcheck.hpp"
#include "app/logging.hpp"
#include "app/server.hpp"
#include "app/stop_sequence.hpp"
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

namespace {

const char* const usage = R"(Usage: murva-signal [PORT [PASSWORD] | CONFIG_FILE]

A WebRTC signaling server for two-member rooms.

  murva-signal              settings from ./murva-signal.json (written with the defaults when missing)
  murva-signal PORT [PW]    listen on PORT (1-65535) with an optional join password; no file is read
  murva-signal PATH         settings from the configuration file PATH
  murva-signal --healthcheck [PORT | PATH]
                            GET /healthz of the server running with these settings (default
                            ./murva-signal.json; the admin listener when it has one); exit status 0 if healthy
  murva-signal --help       this text
  murva-signal --version    the version

Environment: MURVA_SIGNAL_PASSWORD replaces the join password. Secrets may also come as files in
$CREDENTIALS_DIRECTORY: password, turn-secret, redis-password.
Signals: SIGTERM or SIGINT drain and stop (a second one stops at once); SIGHUP reloads the TLS certificate.
)";

} // namespace

int runServer(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "--help") {
        std::cout << usage;
        return 0;
    }
    if (argc > 1 && std::string_view(argv[1]) == "--version") {
        std::cout << "murva-signal " << MURVA_VERSION << "\n";
        return 0;
    }
    if (argc > 1 && std::string_view(argv[1]) == "--healthcheck")
        return runHealthcheck(argc, argv);
    // A console whose reader went away (a pipe into a log shipper that restarted) must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    blockServerSignals(); // before any thread starts, so all of them inherit the mask
    ServerSettings settings;
    if (!loadSettings(argc, argv, settings))
        return 1;
    if (!applyPasswordFromEnvironment(settings)) // the TURN secret was applied while loading
        return 1;
    initLogging(settings);
    raiseOpenFileLimit();

    std::unique_ptr<Server> server;
    try {
        server = std::make_unique<Server>(settings);
    } catch (const std::exception& e) {
        std::cerr << "Failed to start server on port " << settings.port << ": " << e.what() << "\n";
        return 1;
    }
    {
        const auto console = holdConsole(); // the summary comes out whole, not interleaved with join lines
        printSummary(std::cout, settings);
        if (const ClusterRooms* cluster = server->cluster())
            std::cout << "Rooms shared through Redis as instance " << cluster->instance() << "\n";
        std::cout << std::flush;
        checkConsoleWritten();
    }

    serveUntilStopped(*server);
    server.reset();
    flushConsoleLines();
    return 0;
}

} // namespace murva
