// The state operations: admission counts, room slots, leaving and release.
#include "signaling/state.hpp"

#include "signaling/protocol.hpp"

namespace murva {

namespace {

StateObserver silentObserver;

} // namespace

SignalingState::SignalingState(const ServerSettings& settings, StateObserver* observer)
    : maxConnections_(settings.maxConnections), maxConnectionsPerIp_(settings.maxConnectionsPerIp),
      maxRooms_(settings.maxRooms), observer_(observer ? observer : &silentObserver) {}

bool SignalingState::admit(const SocketPtr& socket, const std::string& ip) {
    if (maxConnections_ != 0 && clients_.size() >= maxConnections_) {
        bump(counters_.refusedMaxConnections);
        return false;
    }
    if (maxConnectionsPerIp_ != 0 && !ip.empty()) {
        auto it = connectionsPerIp_.find(ip);
        if (it != connectionsPerIp_.end() && static_cast<uint32_t>(it->second) >= maxConnectionsPerIp_) {
            bump(counters_.refusedPerIp);
            return false;
        }
    }
    bump(counters_.admitted);
    clients_.insert(socket);
    if (!ip.empty())
        ++connectionsPerIp_[ip];
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
    observer_->joined(counts());

    ClaimResult result{ClaimOutcome::Joined, nullptr, {}};
    if (const Slot& other = slots[1 - slot]; other.taken()) {
        result.peer = other.member.get();
        result.peerNick = other.nick;
    }
    return result;
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
        if (Slot& other = slots[1 - client.slot]; other.taken())
            other.member->deliver(dumpCompact(peerLeftMessage()));
        if (!slots[0].taken() && !slots[1].taken())
            rooms_.erase(room);
    }
    StateCounts after = counts();
    if (after.clients > 0)
        --after.clients; // this connection is still counted until its release
    observer_->left(after);
}

void SignalingState::release(const Client& client) {
    if (!client.ip.empty()) {
        auto it = connectionsPerIp_.find(client.ip);
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
