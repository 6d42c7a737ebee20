// The state's side of resumption: sessions by token hash, slots held for members whose connection dropped,
// their resume, expiry and overflow.
#include "signaling/state.hpp"

namespace murva {

void SignalingState::registerSession(const std::shared_ptr<Client>& client) {
    if (!client->sessionHash.empty())
        liveSessions_[client->sessionHash] = client;
}

void SignalingState::forgetSession(const Client& client) {
    if (!client.sessionHash.empty())
        liveSessions_.erase(client.sessionHash);
}

void SignalingState::holdSlot(const Client& client, SteadyTime deadline) {
    auto room = rooms_.find(client.room);
    if (room == rooms_.end() || client.sessionHash.empty())
        return;
    Room& slots = room->second;
    auto held = std::make_shared<AwayMember>(client.room, client.slot, client.nick, deadline);
    slots[client.slot] = Slot{held, client.nick};
    liveSessions_.erase(client.sessionHash);
    held_[client.sessionHash] = held;
    if (Slot& other = slots[1 - client.slot]; other.taken())
        other.member->peerAway();
}

ResumeResult SignalingState::resumeSlot(const std::shared_ptr<Client>& client, const std::string& code,
                                        const std::string& hash) {
    ResumeResult result;
    auto room = rooms_.find(code);
    if (room == rooms_.end())
        return result;
    Room& slots = room->second;
    int slot = -1;
    std::string nick;
    if (auto held = held_.find(hash); held != held_.end()) {
        AwayMember& member = *held->second;
        if (member.room != code || slots[member.slot].member != held->second)
            return result; // another room's token: it stays good for its own
        slot = member.slot;
        nick = member.nick;
        result.heldFrames = member.takeFrames();
        result.wasHeld = true;
        held_.erase(held);
    } else if (auto live = liveSessions_.find(hash); live != liveSessions_.end()) {
        // The old connection still looks open (its network went away unnoticed): the new one takes over.
        const std::shared_ptr<Client> old = live->second.lock();
        if (!old || old->room != code || old->slot < 0 || slots[old->slot].member != old)
            return result;
        old->superseded = true;
        slot = old->slot;
        nick = old->nick;
        result.replaced = old->connection.lock();
        liveSessions_.erase(live);
    } else {
        return result;
    }

    client->room = code;
    client->slot = slot;
    client->nick = nick;
    client->resume = true;
    slots[slot] = Slot{client, nick};
    if (const Slot& other = slots[1 - slot]; other.taken()) {
        result.peer = other.member.get();
        result.peerNick = other.nick;
    }
    result.resumed = true;
    bump(counters_.resumesOk);
    if (observer_)
        observer_->resumed(counts(), client->ip);
    return result;
}

void SignalingState::endHeld(HeldMap::iterator held) {
    const AwayMember& member = *held->second;
    if (auto room = rooms_.find(member.room);
        room != rooms_.end() && room->second[member.slot].member == held->second) {
        Room& slots = room->second;
        slots[member.slot] = Slot{};
        Slot& other = slots[1 - member.slot];
        if (other.taken())
            other.member->peerLeft();
        if (!other.taken() || !keptHere(*other.member))
            rooms_.erase(room);
    }
    held_.erase(held);
    if (observer_)
        observer_->left(counts(), {}); // its connection, and with it its address, went when the slot was held
}

std::optional<SteadyTime> SignalingState::expireHeld(SteadyTime now) {
    std::optional<SteadyTime> next;
    for (auto it = held_.begin(); it != held_.end();) {
        const auto current = it++;
        if (current->second->deadline <= now) {
            bump(counters_.resumesExpired);
            endHeld(current);
        } else if (!next || current->second->deadline < *next) {
            next = current->second->deadline;
        }
    }
    return next;
}

void SignalingState::dropOverflowedPeer(const Client& client) {
    const Slot* other = otherSlot(client);
    const auto* held = other ? dynamic_cast<const AwayMember*>(other->member.get()) : nullptr;
    if (!held || !held->overflowed())
        return;
    for (auto it = held_.begin(); it != held_.end(); ++it)
        if (it->second.get() == held) {
            bump(counters_.resumesOverflow);
            return endHeld(it);
        }
}

std::size_t SignalingState::heldCount() const {
    std::lock_guard lock(mutex_);
    return held_.size();
}

} // namespace murva
