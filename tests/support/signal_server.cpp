// The in-process signaling server of the tests, its console captured.
#include "support/signal_server.hpp"

#include <iostream>

#include "support/ws_client.hpp"

namespace testing_support {

SignalServer::SignalServer(ServerSettings settings, rtc::WebSocketServerConfiguration config) {
    {
        const auto hold = murva::holdConsole(); // collect the join and leave lines from here on
        savedCout_ = std::cout.rdbuf(console_.rdbuf());
    }
    const auto made = murva::makeServerConfiguration(settings);
    config.port = 0;
    if (!config.bindAddress)
        config.bindAddress = "127.0.0.1";
    if (!config.maxMessageSize)
        config.maxMessageSize = made.maxMessageSize;
    if (config.maxPendingPerClient == 0 && config.maxPending == 0) {
        config.maxPendingPerClient = made.maxPendingPerClient;
        config.maxPending = made.maxPending;
    }
    server_ = std::make_unique<murva::Server>(settings, config);
}

SignalServer::~SignalServer() {
    server_.reset();                        // every connection gets its close handling here
    const auto hold = murva::holdConsole(); // their leave lines included
    std::cout.rdbuf(savedCout_);
}

std::vector<std::string> SignalServer::consoleLines() const {
    std::string text;
    {
        // Lines are queued together with the state change they report, so once a test has seen that
        // change they are at least queued; this writes them and keeps the writer out while reading.
        const auto hold = murva::holdConsole();
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

} // namespace testing_support
