#include "config/settings.hpp"

std::string serverPassword;
uint32_t maxConnections = 1024;
uint32_t maxConnectionsPerIp = 32;
uint32_t maxRooms = 4096;
bool allowTurn = true;

void publishSettings(const ServerSettings& settings) {
    serverPassword = settings.password;
    maxConnections = settings.max_connections;
    maxConnectionsPerIp = settings.max_connections_per_ip;
    maxRooms = settings.max_rooms;
    allowTurn = settings.allow_turn;
}
