// Joining a room: the room code's checks, the claim of a slot, and the replies to both members.
#include "signaling/protocol.hpp"
#include "signaling/signaling_service.hpp"

namespace murva {

void SignalingService::handleJoin(const SocketPtr& self, const std::shared_ptr<Client>& client,
                                  const nlohmann::json& message) {
    const std::string room = message.value("room", std::string());
    if (room.empty())
        return;
    if (room.size() > maxRoomCodeBytes)
        return sendJson(self, errorMessage(reasonRoomCodeTooLong));

    auto claim = state_.claimRoomSlot(client, room, truncateUtf8(message.value("nick", std::string()), maxNickBytes));
    if (claim.outcome == ClaimOutcome::RoomLimitReached)
        return sendJson(self, errorMessage(reasonRoomLimit));
    if (claim.outcome == ClaimOutcome::RoomFull)
        return sendJson(self, fullMessage());

    sendJson(self, joinedMessage(claim.peerNick));
    if (claim.peer)
        claim.peer->deliver(dumpCompact(peerJoinedMessage(client->nick)));
}

} // namespace murva
