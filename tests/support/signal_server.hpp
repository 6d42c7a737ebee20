// The signaling server running inside the test process on 127.0.0.1 and a free port, so tests can read
// its state. Several may run side by side; each has its own state and settings.
#pragma once

#include <cstddef>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/server.hpp"

namespace testing_support {

using murva::ServerSettings;
using murva::StateSizes;

class SignalServer {
public:
    explicit SignalServer(ServerSettings settings = {}, rtc::WebSocketServerConfiguration extra = {});
    ~SignalServer();

    uint16_t port() const { return server_->port(); }
    rtc::WebSocketServer& transport() { return server_->transport(); }
    murva::Server& server() { return *server_; }

    StateSizes sizes() const { return server_->state().sizes(); }
    int ipCount(const std::string& ip) const { return server_->state().connectionsFrom(ip); }
    bool hasIpEntry(const std::string& ip) const { return ipCount(ip) != 0; }
    std::vector<std::string> consoleLines() const; // the join and leave lines printed so far (by any server)
    bool waitForSizes(const StateSizes& expected, std::chrono::milliseconds bound = std::chrono::seconds(5)) const;

private:
    std::streambuf* savedCout_;
    std::stringstream console_;
    std::unique_ptr<murva::Server> server_;
};

} // namespace testing_support
