// The wire form of the server's messages and the checks every received message goes through.
#include "signaling/protocol.hpp"

namespace murva {

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
json peerAwayMessage() { return {{"type", "peer-away"}}; }
json peerBackMessage() { return {{"type", "peer-back"}}; }

bool stringMembersOrAbsent(const json& object, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        auto it = object.find(name);
        if (it != object.end() && !it->is_string())
            return false;
    }
    return true;
}

std::string truncateUtf8(const std::string& text, std::size_t limit) {
    if (text.size() <= limit)
        return text;
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut; // text[cut] continues a character that began before the cut
    return text.substr(0, cut);
}

} // namespace murva
