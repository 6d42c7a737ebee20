// Joining a room: the room code's checks, the claim of a slot (here, or in the registry the instances share,
// waiting a while for it when it cannot be reached), and the replies to both members (with the TURN credentials,
// when the server hands them out).
#include <algorithm>

#include "signaling/protocol.hpp"
#include "signaling/session_token.hpp"
#include "signaling/signaling_service.hpp"

namespace murva {
namespace {

// The two members of a room relay to each other from now on: one I/O thread serves both.
void keepTogether(const SocketPtr& self, const Member* peer) {
    if (const auto* client = dynamic_cast<const Client*>(peer))
        if (const SocketPtr socket = client->connection.lock())
            self->keepTogetherWith(*socket);
}

} // namespace

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

    if (shared_ && !shared_->available() && waitForRegistry(client, message, turn))
        return; // asked again once Redis answers, or refused when the wait runs out

    // Signed before the slot is claimed: when that fails (it throws), the client is still in no room.
    nlohmann::json iceServers = turn ? turn->iceServers() : nlohmann::json();
    if (resumable()) {
        if (auto session = message.find("session"); session != message.end()) {
            if (!session->is_string())
                return bump(counters.droppedMalformed);
            if (shared_)
                return resumeShared(self, client, room, session->get<std::string>(), std::move(iceServers), message,
                                    turn);
            return resumeJoin(self, client, room, session->get<std::string>(), std::move(iceServers));
        }
    }
    std::string nick = truncateUtf8(message.value("nick", std::string()), maxNickBytes);
    if (!shared_) {
        const auto resume = message.find("resume");
        const bool wantsResume = resumable() && resume != message.end() && resume->is_boolean() && resume->get<bool>();
        std::string token = wantsResume ? newSessionToken() : std::string();
        const ClaimResult claim = state_.claimRoomSlot(client, room, std::move(nick));
        if (claim.outcome == ClaimOutcome::Joined && wantsResume)
            token = startSession(client, std::move(token));
        else
            token.clear();
        return answerJoin(self, *client, claim, std::move(iceServers), token);
    }

    if (!shared_->available())
        return answerJoin(self, *client, ClaimResult{ClaimOutcome::Unavailable, nullptr, {}}, {});
    const auto resume = message.find("resume");
    std::string token;
    if (resumable() && resume != message.end() && resume->is_boolean() && resume->get<bool>()) {
        token = newSessionToken();
        client->sessionHash = sessionTokenHash(token); // the registry keeps it with the slot
    }
    // The registry answers on its own thread, under the lock; frames that come meanwhile are not relayed.
    client->joinPending = true;
    shared_->claim(client, room, nick,
                   [this, client, room, nick, token = std::move(token), iceServers = std::move(iceServers), message,
                    turn](const SharedClaim& shared) mutable {
                       client->joinPending = false;
                       const SocketPtr socket = client->connection.lock();
                       const bool gone = client->closed || !socket || !socket->isOpen();
                       if (shared.outcome != ClaimOutcome::Joined) {
                           client->sessionHash.clear();
                           // Redis was lost before it answered: asked again once it is back, within the wait.
                           if (!gone && shared.outcome == ClaimOutcome::Unavailable &&
                               waitForRegistry(client, message, turn))
                               return;
                           if (!gone)
                               answerJoin(socket, *client, ClaimResult{shared.outcome, nullptr, {}}, {});
                           return;
                       }
                       ClaimResult placed{ClaimOutcome::RoomFull, nullptr, {}};
                       if (!gone)
                           placed = state_.placeShared(client, room, std::move(nick), shared);
                       if (placed.outcome != ClaimOutcome::Joined) {
                           shared_->vacate(*client); // gave up, or this server's view disagreed: not in that room
                           client->sessionHash.clear();
                           token.clear();
                       }
                       client->resume = !token.empty();
                       if (!gone)
                           answerJoin(socket, *client, placed, std::move(iceServers), token);
                   });
}

std::string SignalingService::startSession(const std::shared_ptr<Client>& client, std::string token) {
    state_.forgetSession(*client);
    client->resume = true;
    client->sessionHash = sessionTokenHash(token);
    state_.registerSession(client);
    return token;
}

void SignalingService::resumeJoin(const SocketPtr& self, const std::shared_ptr<Client>& client, const std::string& room,
                                  const std::string& token, nlohmann::json iceServers) {
    std::string next = newSessionToken(); // before anything changes: it may throw
    ResumeResult resumed = state_.resumeSlot(client, room, sessionTokenHash(token));
    if (!resumed.resumed)
        return sendJson(self, errorMessage(reasonSessionExpired));
    if (resumed.replaced)
        resumed.replaced->close();
    auto joined = joinedMessage(resumed.peerNick);
    joined["session"] = startSession(client, std::move(next));
    if (!iceServers.is_null())
        joined["iceServers"] = std::move(iceServers);
    sendJson(self, joined);
    for (auto& frame : resumed.heldFrames)
        self->send(std::move(frame));
    if (resumed.wasHeld && resumed.peer)
        resumed.peer->peerBack();
    keepTogether(self, resumed.peer);
}

void SignalingService::resumeShared(const SocketPtr& self, const std::shared_ptr<Client>& client,
                                    const std::string& room, const std::string& token, nlohmann::json iceServers,
                                    const nlohmann::json& message, const std::optional<TurnCredentials>& turn) {
    if (!shared_->available())
        return sendJson(self, errorMessage(reasonSessionExpired)); // a fresh join then says why it cannot be
    std::string next = newSessionToken();
    const std::string nextHash = sessionTokenHash(next);
    client->joinPending = true;
    shared_->resume(client, room, sessionTokenHash(token), nextHash,
                    [this, client, room, next = std::move(next), nextHash, iceServers = std::move(iceServers), message,
                     turn](const SharedResume& resumed) mutable {
                        client->joinPending = false;
                        const SocketPtr socket = client->connection.lock();
                        const bool gone = client->closed || !socket || !socket->isOpen();
                        if (!resumed.resumed) {
                            if (!gone && resumed.unavailable && waitForRegistry(client, message, turn))
                                return;
                            if (!gone)
                                sendJson(socket, errorMessage(reasonSessionExpired));
                            return;
                        }
                        client->sessionHash = nextHash;
                        client->resume = true;
                        ClaimResult placed{ClaimOutcome::RoomFull, nullptr, {}};
                        if (!gone)
                            placed = state_.placeShared(client, room, resumed.nick, resumed.claim, true);
                        if (placed.outcome != ClaimOutcome::Joined) {
                            // Gone before it could be told its new token (or this server's view disagreed): the slot is
                            // freed, since no one holds a token for it any more.
                            shared_->vacate(*client);
                            if (!gone)
                                sendJson(socket, errorMessage(reasonSessionExpired));
                            return;
                        }
                        bump(state_.counters().resumesOk);
                        auto joined = joinedMessage(placed.peerNick);
                        joined["session"] = std::move(next);
                        if (!iceServers.is_null())
                            joined["iceServers"] = std::move(iceServers);
                        sendJson(socket, joined);
                        for (const auto& frame : resumed.heldFrames)
                            socket->send(frame);
                    });
}

void SignalingService::useSharedRooms(SharedRooms* rooms) {
    shared_ = rooms;
    if (rooms)
        rooms->onAvailable([this] { runWaitingJoins(); });
}

bool SignalingService::waitForRegistry(const std::shared_ptr<Client>& client, const nlohmann::json& message,
                                       const std::optional<TurnCredentials>& turn) {
    if (std::chrono::steady_clock::now() >= client->joinDeadline)
        return false;
    client->joinPending = true; // what it sends meanwhile is dropped, as before any "joined"
    waiting_.erase(client.get());
    waiting_.emplace(client.get(), WaitingJoin{++waitingOrder_, client, message,
                                               std::make_shared<const std::optional<TurnCredentials>>(turn)});
    expiry_.arm(client->joinDeadline);
    return true;
}

void SignalingService::runWaitingJoins() {
    std::vector<WaitingJoin> ready;
    ready.reserve(waiting_.size());
    for (auto& [key, join] : waiting_)
        ready.push_back(std::move(join));
    waiting_.clear();
    std::sort(ready.begin(), ready.end(), [](const auto& a, const auto& b) { return a.order < b.order; });
    for (const WaitingJoin& join : ready) {
        const auto client = join.client.lock();
        const SocketPtr socket = client ? client->connection.lock() : nullptr;
        if (!client || client->closed || !socket || !socket->isOpen())
            continue;
        client->joinPending = false;
        bump(state_.counters().failoverJoinsServed);
        try {
            handleJoin(socket, client, join.message, *join.turn);
        } catch (const std::exception&) {
            // as a join that throws when it comes: unanswered, and the others go on
        }
    }
}

std::optional<SteadyTime> SignalingService::refuseWaitingJoins(SteadyTime now) {
    std::optional<SteadyTime> next;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        const auto client = it->second.client.lock();
        if (client && client->joinDeadline > now) {
            next = next ? std::min(*next, client->joinDeadline) : client->joinDeadline;
            ++it;
            continue;
        }
        const bool resume = resumable() && it->second.message.contains("session");
        it = waiting_.erase(it);
        const SocketPtr socket = client ? client->connection.lock() : nullptr;
        if (!client || client->closed || !socket || !socket->isOpen())
            continue;
        client->joinPending = false;
        bump(state_.counters().failoverJoinsRefused);
        if (resume)
            sendJson(socket, errorMessage(reasonSessionExpired));
        else
            answerJoin(socket, *client, ClaimResult{ClaimOutcome::Unavailable, nullptr, {}}, {});
    }
    return next;
}

void SignalingService::answerJoin(const SocketPtr& self, const Client& client, const ClaimResult& claim,
                                  nlohmann::json iceServers, const std::string& session) {
    auto& counters = state_.counters();
    switch (claim.outcome) {
    case ClaimOutcome::RoomLimitReached:
        bump(counters.joinsRoomLimit);
        return sendJson(self, errorMessage(reasonRoomLimit));
    case ClaimOutcome::Unavailable: // the same words: to the client, the service is out of rooms for now
        bump(counters.joinsUnavailable);
        return sendJson(self, errorMessage(reasonRoomLimit));
    case ClaimOutcome::RoomFull: bump(counters.joinsFull); return sendJson(self, fullMessage());
    case ClaimOutcome::Joined: break;
    }
    bump(counters.joinsOk);
    auto joined = joinedMessage(claim.peerNick);
    if (!session.empty())
        joined["session"] = session;
    if (!iceServers.is_null()) // the server hands out TURN credentials
        joined["iceServers"] = std::move(iceServers);
    sendJson(self, joined);
    if (claim.peer) {
        claim.peer->peerJoined(client.nick);
        keepTogether(self, claim.peer);
    }
}

} // namespace murva
