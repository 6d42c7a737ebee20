// Wiring of one server: settings -> state -> client lifecycle -> transport.
#include "app/server.hpp"

namespace murva {

rtc::WebSocketServerConfiguration makeServerConfiguration(const ServerSettings& s) {
    rtc::WebSocketServerConfiguration config{};
    config.port = s.port;
    if (!s.bindAddress.empty() && s.bindAddress != "0.0.0.0")
        config.bindAddress = s.bindAddress;
    if (s.connectionTimeoutMs != 0)
        config.connectionTimeout = std::chrono::milliseconds(s.connectionTimeoutMs);
    if (s.maxMessageSize != 0)
        config.maxMessageSize = s.maxMessageSize;
    if (s.tls.enabled) {
        config.enableTls = true;
        config.certificatePemFile = s.tls.certFile;
        config.keyPemFile = s.tls.keyFile;
        if (!s.tls.keyPassword.empty())
            config.keyPemPass = s.tls.keyPassword;
    }
    return config;
}

Server::Server(const ServerSettings& settings, const rtc::WebSocketServerConfiguration& transport)
    : settings_(settings), state_(settings_, &console_), service_(state_, settings_),
      transport_(std::make_unique<rtc::WebSocketServer>(transport)) {
    transport_->onClient([this](SocketPtr socket) { service_.handleClient(std::move(socket)); });
}

Server::~Server() { transport_->stop(); }

} // namespace murva
