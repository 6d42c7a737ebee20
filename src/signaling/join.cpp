// Joining a room: the room code's checks, the claim of a slot (here, or in the registry the instances share),
// and the replies to both members (with the TURN credentials, when the server hands them out).
#include "signaling/protocol.hpp"
#include "signaling/signaling_service.hpp"

namespace murva {

void SignalingService::handleJoin(const SocketPtr& self, const std::shared_ptr<Client>& client,
                                  const nlohmann::json& message, const std::optional<TurnCredentials>& turn) {
    auto& counters = state_.counters();
    const std::string room = message.value("room", std::string());
    if (room.empty())
        return bump(counters.droppedMalformed);
    if (room.size() > maxRoomCodeBytes) {
        bump(counters.joinsCodeTooLong);
        return sendJson(self, errorMessage(reasonRoomCodeTooLong));
    }

    // Signed before the slot is claimed: when that fails (it throws), the client is still in no room.
    nlohmann::json iceServers = turn ? turn->iceServers() : nlohmann::json();
    std::string nick = truncateUtf8(message.value("nick", std::string()), maxNickBytes);
    if (!shared_)
        return answerJoin(self, *client, state_.claimRoomSlot(client, room, std::move(nick)), std::move(iceServers));

    if (!shared_->available())
        return answerJoin(self, *client, ClaimResult{ClaimOutcome::Unavailable, nullptr, {}}, {});
    // The registry answers on its own thread, under the lock; frames that come meanwhile are not relayed.
    client->joinPending = true;
    shared_->claim(client, room, nick,
                   [this, client, room, nick, iceServers = std::move(iceServers)](const SharedClaim& shared) mutable {
                       client->joinPending = false;
                       const SocketPtr socket = client->connection.lock();
                       const bool gone = client->closed || !socket || !socket->isOpen();
                       if (shared.outcome != ClaimOutcome::Joined) {
                           if (!gone)
                               answerJoin(socket, *client, ClaimResult{shared.outcome, nullptr, {}}, {});
                           return;
                       }
                       ClaimResult placed{ClaimOutcome::RoomFull, nullptr, {}};
                       if (!gone)
                           placed = state_.placeShared(client, room, std::move(nick), shared);
                       if (placed.outcome != ClaimOutcome::Joined)
                           shared_->vacate(*client); // gave up, or this server's view disagreed: not in that room
                       if (!gone)
                           answerJoin(socket, *client, placed, std::move(iceServers));
                   });
}

void SignalingService::answerJoin(const SocketPtr& self, const Client& client, const ClaimResult& claim,
                                  nlohmann::json iceServers) {
    auto& counters = state_.counters();
    switch (claim.outcome) {
    case ClaimOutcome::RoomLimitReached:
        bump(counters.joinsRoomLimit);
        return sendJson(self, errorMessage(reasonRoomLimit));
    case ClaimOutcome::Unavailable: // the same words: to the client, the service is out of rooms for now
        bump(counters.joinsUnavailable);
        return sendJson(self, errorMessage(reasonRoomLimit));
    case ClaimOutcome::RoomFull:
        bump(counters.joinsFull);
        return sendJson(self, fullMessage());
    case ClaimOutcome::Joined:
        break;
    }
    bump(counters.joinsOk);
    auto joined = joinedMessage(claim.peerNick);
    if (!iceServers.is_null()) // the server hands out TURN credentials
        joined["iceServers"] = std::move(iceServers);
    sendJson(self, joined);
    if (claim.peer)
        claim.peer->peerJoined(client.nick);
}

} // namespace murva
