// Joining a room: the room code's checks, the claim of a slot, and the replies to both members.
#include "signaling/protocol.hpp"
#include "signaling/signaling_service.hpp"

namespace murva {

void SignalingService::handleJoin(const SocketPtr& self, const std::shared_ptr<Client>& client,
                                  const nlohmann::json& message) {
    auto& counters = state_.counters();
    const std::string room = message.value("room", std::string());
    if (room.empty())
        return bump(counters.droppedMalformed);
    if (room.size() > maxRoomCodeBytes) {
        bump(counters.joinsCodeTooLong);
        return sendJson(self, errorMessage(reasonRoomCodeTooLong));
    }

    auto claim = state_.claimRoomSlot(client, room, truncateUtf8(message.value("nick", std::string()), maxNickBytes));
    if (claim.outcome == ClaimOutcome::RoomLimitReached) {
        bump(counters.joinsRoomLimit);
        return sendJson(self, errorMessage(reasonRoomLimit));
    }
    if (claim.outcome == ClaimOutcome::RoomFull) {
        bump(counters.joinsFull);
        return sendJson(self, fullMessage());
    }
    bump(counters.joinsOk);

    sendJson(self, joinedMessage(claim.peerNick));
    if (claim.peer)
        claim.peer->deliver(dumpCompact(peerJoinedMessage(client->nick)));
}

} // namespace murva
