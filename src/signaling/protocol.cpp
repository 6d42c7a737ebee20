#include "signaling/protocol.hpp"

using nlohmann::json;

std::string dumpCompact(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::strict); }

void sendJson(const std::shared_ptr<rtc::WebSocket>& socket, const json& message) {
    if (!socket || !socket->isOpen())
        return;
    socket->send(dumpCompact(message));
}

json unauthorizedMessage() { return {{"type", "unauthorized"}}; }
json errorMessage(const char* reason) { return {{"type", "error"}, {"reason", reason}}; }
json fullMessage() { return {{"type", "full"}}; }
json joinedMessage(const std::string& peerNick) { return {{"type", "joined"}, {"peer", peerNick}}; }
json peerJoinedMessage(const std::string& nick) { return {{"type", "peer-joined"}, {"peer", nick}}; }
json peerLeftMessage() { return {{"type", "peer-left"}}; }
