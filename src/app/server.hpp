// One signaling server: its settings, its state, the client lifecycle and the transport, wired together.
#pragma once

#include <cstdint>
#include <memory>

#include "app/console_lines.hpp"
#include "config/settings.hpp"
#include "signaling/signaling_service.hpp"
#include "signaling/state.hpp"
#include "transport/rtc.hpp"

namespace murva {

// The transport's configuration for these settings (only what is set differs from the transport's defaults).
rtc::WebSocketServerConfiguration makeServerConfiguration(const ServerSettings& settings);

class Server {
public:
    // Listens at once (throws like rtc::WebSocketServer when it cannot) and starts admitting clients.
    // `transport` is the configuration the settings make, possibly adjusted (tests pick port 0, say).
    Server(const ServerSettings& settings, const rtc::WebSocketServerConfiguration& transport);
    explicit Server(const ServerSettings& settings) : Server(settings, makeServerConfiguration(settings)) {}
    ~Server(); // stops the transport first: every connection's close is handled while the state still exists

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    uint16_t port() const { return transport_->port(); }
    const ServerSettings& settings() const { return settings_; }
    SignalingState& state() { return state_; }
    rtc::WebSocketServer& transport() { return *transport_; }
    SignalingService& signaling() { return service_; }

private:
    const ServerSettings settings_;
    ConsoleReporter console_;
    SignalingState state_;
    SignalingService service_;
    std::unique_ptr<rtc::WebSocketServer> transport_; // last: destroyed first
};

} // namespace murva
