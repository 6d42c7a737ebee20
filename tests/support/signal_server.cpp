#include "support/signal_server.hpp"

#include <iostream>

#include "connection/admission.hpp"
#include "signaling/console_lines.hpp"
#include "signaling/state.hpp"
#include "support/ws_client.hpp"

namespace testing_support {

SignalServer::SignalServer(ServerSettings settings, rtc::WebSocketServerConfiguration config) {
    resetSignalingState();
    publishSettings(settings);
    {
        const auto hold = holdConsole(); // collect the join and leave lines from here on
        savedCout_ = std::cout.rdbuf(console_.rdbuf());
    }
    config.port = 0;
    if (!config.bindAddress)
        config.bindAddress = "127.0.0.1";
    if (!config.maxMessageSize && settings.max_message_size != 0)
        config.maxMessageSize = settings.max_message_size;
    server_ = std::make_unique<rtc::WebSocketServer>(config);
    server_->onClient(handleClient);
}

SignalServer::~SignalServer() {
    server_.reset(); // every connection gets its close handling here
    {
        const auto hold = holdConsole(); // their leave lines included
        std::cout.rdbuf(savedCout_);
    }
    resetSignalingState();
    publishSettings(ServerSettings{});
}

StateSizes SignalServer::sizes() const {
    std::lock_guard lock(stateMutex);
    return {clients.size(), rooms.size(), roomNicks.size(), connectionsPerIp.size()};
}

int SignalServer::ipCount(const std::string& ip) const {
    std::lock_guard lock(stateMutex);
    auto it = connectionsPerIp.find(ip);
    return it == connectionsPerIp.end() ? 0 : it->second;
}

bool SignalServer::hasIpEntry(const std::string& ip) const {
    std::lock_guard lock(stateMutex);
    return connectionsPerIp.count(ip) != 0;
}

std::vector<std::string> SignalServer::consoleLines() const {
    std::string text;
    {
        // Lines are queued together with the state change they report, so once a test has seen that
        // change they are at least queued; this writes them and keeps the writer out while reading.
        const auto hold = holdConsole();
        text = console_.str();
    }
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool SignalServer::waitForSizes(const StateSizes& expected, std::chrono::milliseconds bound) const {
    return waitUntil([&] { return sizes() == expected; }, bound);
}

void resetSignalingState() {
    std::lock_guard lock(stateMutex);
    clients.clear();
    rooms.clear();
    roomNicks.clear();
    connectionsPerIp.clear();
}

} // namespace testing_support
