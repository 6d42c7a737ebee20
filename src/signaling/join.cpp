// Joining a room: the room code's checks, the claim of a slot, and the replies to both members (with the TURN
// credentials, when the server hands them out).
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

    // Signed before the slot is claimed: when that fails (it throws), the client is still in no room.
    nlohmann::json iceServers = turn_ ? turn_->iceServers() : nlohmann::json();
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

    auto joined = joinedMessage(claim.peerNick);
    if (turn_)
        joined["iceServers"] = std::move(iceServers);
    sendJson(self, joined);
    if (claim.peer)
        claim.peer->deliver(dumpCompact(peerJoinedMessage(client->nick)));
}

} // namespace murva
