// The settings record: one value per server, filled at start and handed to whatever needs it.
#pragma once

#include <cstdint>
#include <string>

namespace murva {

struct TlsSettings {
    bool enabled = false; // serve wss:// with the PEM files below
    std::string certFile;
    std::string keyFile;
    std::string keyPassword; // pass phrase of an encrypted key; empty: none
};

struct ServerSettings {
    uint16_t port = 8080;
    std::string bindAddress = "0.0.0.0"; // empty or 0.0.0.0: every interface
    std::string password;                // empty: open server
    std::string logLevel = "warning";
    uint32_t connectionTimeoutMs = 0;  // TLS + upgrade; 0: the transport's default
    uint32_t maxMessageSize = 65536;   // bytes; 0: the transport's default
    uint32_t maxConnections = 1024;    // 0: no limit
    uint32_t maxConnectionsPerIp = 32; // 0: no limit
    uint32_t maxRooms = 4096;          // 0: no limit
    bool allowTurn = true;             // false: relay candidates are stripped from what is forwarded
    TlsSettings tls;
};

} // namespace murva
