#include <string>

#include "signaling/console_lines.hpp"
#include "signaling/handlers.hpp"
#include "signaling/protocol.hpp"

void handleJoin(const SocketPtr& self, ClientCtx& ctx, const nlohmann::json& message) {
    const std::string room = message.value("room", std::string());
    if (room.empty())
        return;
    if (room.size() > maxRoomCodeBytes)
        return sendJson(self, errorMessage(reasonRoomCodeTooLong));

    const auto claim = claimRoomSlot(ctx, self, room, message);
    if (claim.outcome == ClaimOutcome::RoomLimitReached)
        return sendJson(self, errorMessage(reasonRoomLimit));
    if (claim.outcome == ClaimOutcome::RoomFull)
        return sendJson(self, fullMessage());

    queueConsoleLine("[+] join (rooms=" + std::to_string(rooms.size()) + ", clients=" + std::to_string(clients.size()) +
                     ")");
    const SocketPtr peer = lockPeer(ctx);
    std::string peerNick;
    if (peer)
        if (auto nicks = roomNicks.find(ctx.room); nicks != roomNicks.end())
            peerNick = nicks->second[1 - ctx.slot];
    sendJson(self, joinedMessage(peerNick));
    if (peer)
        sendJson(peer, peerJoinedMessage(ctx.nick));
}
