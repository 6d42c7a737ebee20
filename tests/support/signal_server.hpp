// The signaling server running inside the test process on 127.0.0.1 and a free port, so tests can read
// its state. Construct it after setting the limits; destroying it stops the server and empties the state.
#pragma once

#include <cstddef>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config/settings.hpp"
#include "transport/rtc.hpp"

namespace testing_support {

struct StateSizes {
    std::size_t clients = 0;
    std::size_t rooms = 0;
    std::size_t roomNicks = 0;
    std::size_t ips = 0;
    bool operator==(const StateSizes&) const = default;
};

class SignalServer {
public:
    explicit SignalServer(ServerSettings settings = {}, rtc::WebSocketServerConfiguration extra = {});
    ~SignalServer();

    uint16_t port() const { return server_->port(); }
    rtc::WebSocketServer& transport() { return *server_; }

    StateSizes sizes() const;                // read under the state lock
    int ipCount(const std::string& ip) const; // connectionsPerIp entry, 0 when absent
    bool hasIpEntry(const std::string& ip) const;
    std::vector<std::string> consoleLines() const; // the join and leave lines printed so far
    bool waitForSizes(const StateSizes& expected, std::chrono::milliseconds bound = std::chrono::seconds(5)) const;

private:
    std::streambuf* savedCout_;
    std::stringstream console_;
    std::unique_ptr<rtc::WebSocketServer> server_;
};

// Empties every signaling container (between tests; the server must be stopped).
void resetSignalingState();

} // namespace testing_support
