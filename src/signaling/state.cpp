// The state operations: admission counts, room slots, leaving and release.
#include "signaling/state.hpp"

namespace murva {

namespace {

StateObserver silentObserver;

} // namespace

SignalingState::SignalingState(const ServerSettings& settings, StateObserver* observer)
    : maxConnections_(settings.maxConnections), maxConnectionsPerIp_(settings.maxConnectionsPerIp),
      maxRooms_(settings.maxRooms), observer_(observer ? observer : &silentObserver) {}

void SignalingState::setLimits(const ServerSettings& settings) {
    std::lock_guard lock(mutex_);
    maxConnections_ = settings.maxConnections;
    maxConnectionsPerIp_ = settings.maxConnectionsPerIp;
    maxRooms_ = settings.maxRooms;
}

bool SignalingState::admit(const SocketPtr& socket, const std::string& key, std::string_view* refusal) {
    if (maxConnections_ != 0 && clients_.size() >= maxConnections_) {
        bump(counters_.refusedMaxConnections);
        if (refusal)
            *refusal = "max_connections";
        return false;
    }
    if (maxConnectionsPerIp_ != 0 && !key.empty()) {
        auto it = connectionsPerIp_.find(key);
        if (it != connectionsPerIp_.end() && static_cast<uint32_t>(it->second) >= maxConnectionsPerIp_) {
            bump(counters_.refusedPerIp);
            if (refusal)
                *refusal = "per_ip";
            return false;
        }
    }
    bump(counters_.admitted);
    clients_.insert(socket);
    if (!key.empty())
        ++connectionsPerIp_[key];
    return true;
}

ClaimResult SignalingState::claimRoomSlot(const std::shared_ptr<Client>& client, const std::string& code,
                                          std::string nick) {
    auto room = rooms_.find(code);
    if (room == rooms_.end()) {
        if (maxRooms_ != 0 && rooms_.size() >= maxRooms_)
            return ClaimResult{ClaimOutcome::RoomLimitReached, nullptr, {}};
        room = rooms_.emplace(code, Room{}).first;
    }
    Room& slots = room->second;
    int slot;
    if (!slots[1].taken())
        slot = 1;
    else if (!slots[0].taken())
        slot = 0;
    else
        return ClaimResult{ClaimOutcome::RoomFull, nullptr, {}};

    client->room = code;
    client->slot = slot;
    client->nick = std::move(nick);
    slots[slot] = Slot{client, client->nick};
    observer_->joined(counts(), client->ip);

    ClaimResult result{ClaimOutcome::Joined, nullptr, {}};
    if (const Slot& other = slots[1 - slot]; other.taken()) {
        result.peer = other.member.get();
        result.peerNick = other.nick;
    }
    return result;
}

ClaimResult SignalingState::placeShared(const std::shared_ptr<Client>& client, const std::string& code,
                                        std::string nick, const SharedClaim& claim) {
    Room& slots = rooms_[code];
    const auto localClient = [](const Slot& slot) {
        return slot.taken() ? dynamic_cast<const Client*>(slot.member.get()) : nullptr;
    };
    const auto isLocalPeer = [&](const Slot& slot) {
        const Client* other = localClient(slot);
        return other && claim.localPeerId != 0 && other->sharedId == claim.localPeerId;
    };
    const int slot = isLocalPeer(slots[1]) ? 0 : isLocalPeer(slots[0]) ? 1 : !slots[1].taken() ? 1 : 0;
    Slot& mine = slots[slot];
    Slot& other = slots[1 - slot];
    if (localClient(mine))
        return ClaimResult{ClaimOutcome::RoomFull, nullptr, {}};
    if (mine.taken()) { // a member on another instance whose leave has not reached us yet
        if (other.taken())
            other.member->peerLeft();
        mine = Slot{};
    }
    if (!isLocalPeer(other) && other.taken() && !localClient(other))
        other = Slot{}; // the same, in the slot the registry gave the peer
    if (claim.remotePeer && !other.taken())
        other = Slot{claim.remotePeer, claim.remotePeerNick};

    client->room = code;
    client->slot = slot;
    client->nick = std::move(nick);
    mine = Slot{client, client->nick};
    observer_->joined(counts(), client->ip);

    ClaimResult result{ClaimOutcome::Joined, nullptr, {}};
    if (other.taken()) {
        result.peer = other.member.get();
        result.peerNick = other.nick;
    }
    return result;
}

Slot* SignalingState::otherSlot(const Client& client) {
    if (client.slot < 0)
        return nullptr;
    auto room = rooms_.find(client.room);
    return room == rooms_.end() ? nullptr : &room->second[1 - client.slot];
}

Member* SignalingState::peerOf(const Client& client) {
    auto room = rooms_.find(client.room);
    if (room == rooms_.end())
        return nullptr;
    const Slot& other = room->second[1 - client.slot];
    return other.taken() ? other.member.get() : nullptr;
}

void SignalingState::vacateRoomSlot(Client& client) {
    if (auto room = rooms_.find(client.room); room != rooms_.end()) {
        Room& slots = room->second;
        slots[client.slot] = Slot{};
        Slot& other = slots[1 - client.slot];
        if (other.taken())
            other.member->peerLeft();
        // A member on another instance keeps no room here: the shared registry holds it.
        if (!other.taken() || !dynamic_cast<const Client*>(other.member.get()))
            rooms_.erase(room);
    }
    StateCounts after = counts();
    if (after.clients > 0)
        --after.clients; // this connection is still counted until its release
    observer_->left(after, client.ip);
}

void SignalingState::release(const Client& client) {
    if (!client.key.empty()) {
        auto it = connectionsPerIp_.find(client.key);
        if (it != connectionsPerIp_.end() && --it->second <= 0)
            connectionsPerIp_.erase(it);
    }
    if (auto socket = client.connection.lock())
        clients_.erase(socket);
}

StateSizes SignalingState::sizes() const {
    std::lock_guard lock(mutex_);
    return {clients_.size(), rooms_.size(), connectionsPerIp_.size()};
}

SignalingState::RoomCounts SignalingState::roomCounts() const {
    std::lock_guard lock(mutex_);
    RoomCounts counts;
    for (const auto& [code, room] : rooms_)
        ++(room[0].taken() && room[1].taken() ? counts.full : counts.waiting);
    return counts;
}

int SignalingState::connectionsFrom(const std::string& ip) const {
    std::lock_guard lock(mutex_);
    auto it = connectionsPerIp_.find(ip);
    return it == connectionsPerIp_.end() ? 0 : it->second;
}

const Room* SignalingState::findRoom(const std::string& code) const {
    auto it = rooms_.find(code);
    return it == rooms_.end() ? nullptr : &it->second;
}

} // namespace murva
