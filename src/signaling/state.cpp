#include "signaling/state.hpp"

#include "config/settings.hpp"
#include "signaling/console_lines.hpp"
#include "signaling/protocol.hpp"

// Created in this order before main runs, destroyed in reverse order at exit.
std::mutex stateMutex;
std::set<SocketPtr> clients;
std::map<std::string, std::array<WeakSocket, 2>> rooms;
std::map<std::string, std::array<std::string, 2>> roomNicks;
std::map<std::string, int> connectionsPerIp;

std::string truncateUtf8(const std::string& text, std::size_t limit) {
    if (text.size() <= limit)
        return text;
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut; // text[cut] continues a character that began before the cut
    return text.substr(0, cut);
}

bool admitConnection(const SocketPtr& socket, const std::string& ip) {
    if (maxConnections != 0 && clients.size() >= maxConnections)
        return false;
    if (maxConnectionsPerIp != 0 && !ip.empty()) {
        auto it = connectionsPerIp.find(ip);
        if (it != connectionsPerIp.end() && static_cast<uint32_t>(it->second) >= maxConnectionsPerIp)
            return false;
    }
    clients.insert(socket);
    if (!ip.empty())
        ++connectionsPerIp[ip];
    return true;
}

ClaimResult claimRoomSlot(ClientCtx& ctx, const WeakSocket& socket, const std::string& code,
                          const nlohmann::json& message) {
    auto room = rooms.find(code);
    if (room == rooms.end()) {
        if (maxRooms != 0 && rooms.size() >= maxRooms)
            return {ClaimOutcome::RoomLimitReached};
        room = rooms.emplace(code, std::array<WeakSocket, 2>{}).first;
    }
    auto& slots = room->second;
    int slot;
    if (slots[1].expired())
        slot = 1;
    else if (slots[0].expired())
        slot = 0;
    else
        return {ClaimOutcome::RoomFull};

    slots[slot] = socket;
    ctx.room = code;
    ctx.slot = slot;
    ctx.nick = truncateUtf8(message.value("nick", std::string()), maxNickBytes);
    roomNicks[code][slot] = ctx.nick;
    return {ClaimOutcome::Joined, slot};
}

SocketPtr lockPeer(const ClientCtx& ctx) {
    auto room = rooms.find(ctx.room);
    if (room == rooms.end())
        return nullptr;
    return room->second[1 - ctx.slot].lock();
}

void vacateRoomSlot(const ClientCtx& ctx) {
    if (auto room = rooms.find(ctx.room); room != rooms.end()) {
        auto& slots = room->second;
        slots[ctx.slot].reset();
        auto nicks = roomNicks.find(ctx.room);
        if (nicks != roomNicks.end())
            nicks->second[ctx.slot].clear();
        if (auto peer = slots[1 - ctx.slot].lock())
            sendJson(peer, peerLeftMessage());
        if (slots[0].expired() && slots[1].expired()) {
            rooms.erase(room);
            if (nicks != roomNicks.end())
                roomNicks.erase(nicks);
        }
    }
    const std::size_t remaining = clients.empty() ? 0 : clients.size() - 1; // this connection is still counted
    queueConsoleLine("[-] leave (rooms=" + std::to_string(rooms.size()) + ", clients=" + std::to_string(remaining) + ")");
}

void releaseConnection(const ClientCtx& ctx, const WeakSocket& socket) {
    if (!ctx.ip.empty()) {
        auto it = connectionsPerIp.find(ctx.ip);
        if (it != connectionsPerIp.end() && --it->second <= 0)
            connectionsPerIp.erase(it);
    }
    if (auto self = socket.lock())
        clients.erase(self);
}
