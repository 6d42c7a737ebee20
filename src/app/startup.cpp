// Start-up of the server process.
#include "app/startup.hpp"

#include <csignal>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include <sys/resource.h>

#include "app/console_lines.hpp"
#include "app/console_style.hpp"
#include "app/healthcheck.hpp"
#include "app/logging.hpp"
#include "app/server.hpp"
#include "app/stop_sequence.hpp"
#include "config/config_loading.hpp"
#include "config/settings_text.hpp"

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
  murva-signal --check-config [PATH]
                            load PATH (./murva-signal.json) as a start or reload would, print the settings
                            it gives (secrets masked) and exit 0, or name the mistake and exit 1
  murva-signal --healthcheck [PORT | PATH]
                            GET /healthz of the server running with these settings (default
                            ./murva-signal.json; the admin listener when it has one); exit status 0 if healthy
  murva-signal --help       this text
  murva-signal --version    the version

Environment: MURVA_SIGNAL_PASSWORD replaces the join password. Secrets may also come as files in
$CREDENTIALS_DIRECTORY: password, turn-secret, redis-password.
Signals: SIGTERM or SIGINT drain and stop (a second one stops at once); SIGHUP reloads the configuration file.
)";

// --check-config [PATH]: what an operator runs before a SIGHUP or a restart.
int checkConfig(int argc, char** argv) {
    const std::string path = argc > 2 ? argv[2] : defaultConfigPath;
    if (!std::ifstream(path, std::ios::binary).good()) {
        std::cerr << "Config file not found: " << path << "\n";
        return 1;
    }
    ServerSettings settings;
    std::string error;
    if (!readSettingsFile(path, settings, error)) {
        std::cerr << "Failed to load " << path << ": " << error << "\n";
        return 1;
    }
    if (!applyPasswordFromEnvironment(settings))
        return 1;
    try {
        if (settings.auth)
            TokenVerifier{*settings.auth}; // the key set, read as a start or a reload would
    } catch (const std::invalid_argument& e) {
        std::cerr << "Failed to load " << path << ": " << e.what() << "\n";
        return 1;
    }
    std::cout << path << " is valid; with the environment it gives these settings (secrets masked):\n"
              << settingsJson(settings).dump(2) << "\n";
    return 0;
}

// The line that tells a person where to point a browser, for the address the server listens on.
std::string webClientLine(const ServerSettings& s) {
    const std::string scheme = s.tls.enabled ? "https://" : "http://";
    std::string port(1, ':');
    port.append(std::to_string(s.port)).push_back('/');
    const bool everywhere = s.bindAddress.empty() || s.bindAddress == "0.0.0.0" || s.bindAddress == "::";
    if (everywhere)
        return "Open " + scheme + "localhost" + port +
               " in two browser windows to try it (from another machine: " + scheme + "<this machine's address>" +
               port + ").";
    std::string host = s.bindAddress;
    if (host.find(':') != std::string::npos) { // IPv6, bracketed in a URL
        host.insert(0, 1, '[');
        host.push_back(']');
    }
    return "Open " + scheme + host + port + " in two browser windows to try it.";
}

// Each line of `text` as a console line of the start, in the settings' style.
void printStartLines(const ServerSettings& settings, const std::string& text) {
    const ConsoleStyle style = consoleStyle(settings.logFormat);
    const auto hold = holdConsole(); // the writer thread's join lines never land inside one of these
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        std::cout << formatLine(style, Severity::Info, line, "start") << "\n";
    std::cout << std::flush;
    checkConsoleWritten();
}

} // namespace

int runServer(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "--check-config")
        return checkConfig(argc, argv);
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
    SettingsSource source;
    if (!loadSettings(argc, argv, settings, &source))
        return 1;
    if (!applyPasswordFromEnvironment(settings)) // the TURN secret was applied while loading
        return 1;
    if (!source.notice.empty())
        printStartLines(settings, source.notice + "\n");
    initLogging(settings);
    raiseOpenFileLimit();

    std::unique_ptr<Server> server;
    try {
        server = std::make_unique<Server>(settings);
    } catch (const std::exception& e) {
        std::cerr << "Failed to start server on port " << settings.port << ": " << e.what() << "\n";
        return 1;
    }
    std::ostringstream summary;
    printSummary(summary, settings);
    if (const ClusterRooms* cluster = server->cluster())
        summary << "Rooms shared through Redis as instance " << cluster->instance() << "\n";
    if (settings.webClient)
        summary << webClientLine(settings) << "\n";
    printStartLines(settings, summary.str()); // whole, with the console held, and checked as written

    serveUntilStopped(*server, source.path);
    const ConsoleStyle style = server->console().style();
    server.reset(); // the last leaves are written as their connections end here
    flushConsoleLines();
    if (style.json) { // after every other line: the text console has never had one
        const auto hold = holdConsole();
        std::cout << formatLine(style, Severity::Info, "Stopped", "stop") << "\n" << std::flush;
        checkConsoleWritten();
    }
    return 0;
}

} // namespace murva
