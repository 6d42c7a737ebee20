// The settings record and the five values the handlers read while serving.
#pragma once

#include <cstdint>
#include <string>

struct ServerSettings {
    uint16_t port = 8080;
    std::string bind_address = "0.0.0.0"; // empty or 0.0.0.0: every interface
    std::string password;                 // empty: open server
    std::string log_level = "warning";
    uint32_t connection_timeout_ms = 0; // 0: the transport's default
    uint32_t max_message_size = 65536;  // bytes; 0: the transport's default
    uint32_t max_connections = 1024;    // 0: no limit
    uint32_t max_connections_per_ip = 32; // 0: no limit
    uint32_t max_rooms = 4096;          // 0: no limit
    bool allow_turn = true;             // false: relay candidates are stripped from what is forwarded
    bool tls_enabled = false;
    std::string tls_cert_file;
    std::string tls_key_file;
    std::string tls_key_password;
};

// Written once by main before the server exists, then only read (without the state lock).
extern std::string serverPassword;
extern uint32_t maxConnections;
extern uint32_t maxConnectionsPerIp;
extern uint32_t maxRooms;
extern bool allowTurn;

// Copies the five values the handlers need, in this order: password, the three limits, allow_turn.
void publishSettings(const ServerSettings& settings);
