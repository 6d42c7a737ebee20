// Helpers for running the real murva-signal process in a scratch directory.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/process.hpp"
#include "support/raw_socket.hpp"
#include "support/ws_client.hpp"

namespace app_test {

using namespace testing_support;
using namespace std::chrono_literals;

// Runs the binary in `workingDirectory`. The MURVA_SIGNAL_ secrets' variables, CREDENTIALS_DIRECTORY and
// JOURNAL_STREAM (a runner started by systemd) are removed from the inherited environment unless `env` sets
// them, so the test runner's own environment cannot change the outcome.
inline std::unique_ptr<ChildProcess> startServer(const std::string& workingDirectory, std::vector<std::string> args,
                                                 std::map<std::string, std::string> env = {}) {
    ProcessOptions options;
    options.workingDirectory = workingDirectory;
    options.args = std::move(args);
    for (const char* name :
         {"MURVA_SIGNAL_PASSWORD", "MURVA_SIGNAL_TURN_SECRET", "MURVA_SIGNAL_REDIS_PASSWORD",
          "MURVA_SIGNAL_SENTINEL_PASSWORD", "MURVA_SIGNAL_AUTH_SECRET", "CREDENTIALS_DIRECTORY", "JOURNAL_STREAM"})
        if (!env.count(name))
            options.unsetEnv.push_back(name);
    options.setEnv = std::move(env);
    return std::make_unique<ChildProcess>(MURVA_SIGNAL_BINARY, options);
}

// The line after the summary that says where to point a browser, for `endpoint` (scheme://address:port).
inline std::string webClientLine(const std::string& endpoint) {
    const std::string scheme = endpoint.rfind("wss://", 0) == 0 ? "https://" : "http://";
    const std::string hostPort = endpoint.substr(endpoint.find("://") + 3);
    const std::string port = hostPort.substr(hostPort.rfind(':'));
    if (hostPort.rfind("0.0.0.0:", 0) == 0)
        return "Open " + scheme + "localhost" + port +
               "/ in two browser windows to try it (from another machine: " + scheme + "<this machine's address>" +
               port + "/).";
    return "Open " + scheme + hostPort + "/ in two browser windows to try it.";
}

// The summary printed for the built-in settings, listening on `endpoint` (scheme://address:port), with the
// web client's line unless it is off.
inline std::vector<std::string> defaultSummary(const std::string& endpoint, bool webClient = true) {
    std::vector<std::string> lines = {
        "murva-signal listening on " + endpoint,
        "Share this server's address with your buddies as the \"Server\" field.",
        "No server password set (open server).", "TURN-relayed transfers allowed.",
        "Limits: max_connections=1024, per_ip=32, max_rooms=4096, max_message_size=65536B"};
    if (webClient)
        lines.push_back(webClientLine(endpoint));
    return lines;
}

// A configuration file text on `port`, bound to the loopback address unless `members` says otherwise.
inline std::string configText(uint16_t port, const std::string& members = "") {
    std::string text = "{\n  \"port\": " + std::to_string(port) + ",\n";
    if (members.find("\"bind_address\"") == std::string::npos)
        text += "  \"bind_address\": \"127.0.0.1\",\n";
    if (!members.empty())
        text += "  " + members + ",\n";
    return text + "  \"max_rooms\": 4096 // comments allowed\n}\n";
}

inline std::vector<std::string> entriesOf(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Waits until the child has printed `lines` lines while running (true) or has ended (false).
inline bool waitServing(ChildProcess& child, std::size_t lines) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < end) {
        if (child.waitForStdoutLines(lines, 50ms))
            return true;
        if (child.waitExit(0ms))
            return false;
    }
    return false;
}

struct Started {
    std::unique_ptr<ChildProcess> child;
    uint16_t port = 0;
};

// Starts a server on a port that was free a moment ago; `argsFor` turns the port into the arguments (and
// writes any file they name). Other programs on this machine may take the port in between, and a port held
// on another loopback address also blocks a bind to every interface, so a start that fails with "Address
// already in use" is tried again on another port. The caller checks the outcome.
inline Started startOnFreePort(const std::string& workingDirectory,
                               const std::function<std::vector<std::string>(uint16_t)>& argsFor, std::size_t lines,
                               const std::map<std::string, std::string>& env = {}) {
    for (int attempt = 1;; ++attempt) {
        Started started;
        started.port = freeLoopbackPort();
        started.child = startServer(workingDirectory, argsFor(started.port), env);
        if (waitServing(*started.child, lines) || attempt == 5 ||
            started.child->stderrText().find("Address already in use") == std::string::npos)
            return started;
    }
}

// The whole response (head and body) to a plain request on the loopback port.
inline std::string httpRequest(uint16_t port, const std::string& method, const std::string& path) {
    RawSocket socket(port);
    socket.sendAll(method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    return socket.readUntil("\r\n\r\n\x01", 3s); // a needle that never comes: everything until the close
}

inline std::string httpGet(uint16_t port, const std::string& path) { return httpRequest(port, "GET", path); }

// The value of one sample (`name` or `name{labels}`, as written) on the admin port's /metrics; NaN when absent.
inline double metricValue(uint16_t adminPort, const std::string& sample) {
    const std::string text = httpGet(adminPort, "/metrics");
    const auto at = text.find("\n" + sample + " ");
    return at == std::string::npos ? std::nan("") : std::stod(text.substr(at + sample.size() + 2));
}

// Joins room "r" on the server at `port` and returns the first reply ("" when none came).
inline std::string joinReply(uint16_t port, const std::string& passwordMember = "", const ClientOptions& options = {}) {
    auto client = WsClient::connect(port, options);
    client->sendText(R"({"type":"join","room":"r","nick":"n")" + passwordMember + "}");
    return client->receive().value_or("");
}

// Key sets, the HS256 secret and join tokens minted by an independent implementation: tests/support/mint_tokens.mjs.
inline nlohmann::json mintTokens(const std::string& issuer, const std::string& audience) {
    if (std::string(MURVA_NODE).empty()) {
        ADD_FAILURE() << "node not found: run scripts/install-deps.sh";
        return {};
    }
    ProcessOptions options;
    options.args = {MURVA_SOURCE_DIR "/tests/support/mint_tokens.mjs", issuer, audience};
    ChildProcess node(MURVA_NODE, options);
    EXPECT_EQ(node.waitExit(60s), 0) << node.stderrText();
    auto minted = nlohmann::json::parse(node.stdoutText(), nullptr, false);
    EXPECT_TRUE(minted.is_object()) << node.stderrText();
    return minted.is_object() ? minted : nlohmann::json::object();
}

// A join of `room` carrying `token`.
inline std::string tokenJoin(const std::string& room, const std::string& token, const std::string& nick = "n") {
    return nlohmann::json{{"type", "join"}, {"room", room}, {"nick", nick}, {"token", token}}.dump();
}

// A datagram socket bound where NOTIFY_SOCKET will point: a path, or "@name" in the abstract namespace.
class NotifyReceiver {
public:
    explicit NotifyReceiver(const std::string& target) : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, target.data(), target.size());
        if (target[0] == '@')
            address.sun_path[0] = '\0';
        auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + target.size());
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0) << std::strerror(errno);
    }
    ~NotifyReceiver() { close(fd_); }

    // The next datagram, or empty when none comes within a second.
    std::optional<std::string> receive() {
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, 1000) != 1)
            return std::nullopt;
        char buffer[256];
        ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        return n < 0 ? std::nullopt : std::optional<std::string>(std::string(buffer, static_cast<std::size_t>(n)));
    }
    bool idle() {
        pollfd ready{fd_, POLLIN, 0};
        return poll(&ready, 1, 0) == 0;
    }

private:
    int fd_;
};

} // namespace app_test
