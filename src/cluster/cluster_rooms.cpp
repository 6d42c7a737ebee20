// The shared room registry's client side: claims and leaves, the channel, and the rooms put back after a loss.
#include "cluster/cluster_rooms.hpp"

#include "cluster/channel_verdict.hpp"
#include "cluster/redis_reply.hpp"
#include "cluster/registry_replies.hpp"
#include "cluster/registry_scripts.hpp"
#include "cluster/remote_member.hpp"
#include "cluster/restore_plan.hpp"
#include "signaling/json_check.hpp"

namespace murva {

namespace {

constexpr std::size_t maxBacklog = 256; // a member that has not been answered yet receives little

} // namespace

ClusterRooms::ClusterRooms(ClusterNode& node, SignalingState& state, uint32_t maxRooms, uint32_t resumeGraceMs)
    : node_(node), state_(state), maxRooms_(maxRooms), resumeGraceMs_(resumeGraceMs) {
    node_.attach(*this);
}

void ClusterRooms::claim(const std::shared_ptr<Client>& client, const std::string& code, const std::string& nick,
                         std::function<void(const SharedClaim&)> done) {
    const uint64_t id = ++nextId_;
    client->sharedId = id;
    members_[id] = LocalMember{client, code, false, {}};
    node_.runScript(joinScript(),
                    {code, instance(), std::to_string(id), nick, std::to_string(maxRooms_), client->sessionHash},
                    [this, id, epoch = node_.epoch(), done = std::move(done)](const RedisReply& reply) {
                        SignalingState::Lock lock(state_);
                        finishClaim(id, epoch, reply, done);
                    });
}

void ClusterRooms::finishClaim(uint64_t id, uint64_t epoch, const RedisReply& reply,
                               const std::function<void(const SharedClaim&)>& done) {
    const JoinAnswer answer = readJoinReply(reply, epoch != node_.epoch());
    // Asked before a loss: the registry has been restored since without this member. A slot it got there is
    // given back (the restore's clean-up may have done so already).
    if (answer.giveBack)
        node_.runScript(leaveScript(), {members_[id].room, instance(), std::to_string(id)});
    if (answer.nickRefused)
        bump(state_.counters().channelMalformed);
    SharedClaim claim;
    claim.outcome = answer.outcome;
    if (answer.peer) {
        if (answer.peer->instance == instance())
            claim.localPeerId = answer.peer->id;
        else
            claim.remotePeer = remoteMember(*answer.peer, id, members_[id].room);
        claim.remotePeerNick = answer.peer->nick;
    }
    done(claim);
    settle(id);
}

void ClusterRooms::settle(uint64_t id) {
    const auto it = members_.find(id);
    if (it == members_.end())
        return;
    const auto client = it->second.client.lock();
    if (!client || client->slot < 0 || client->sharedId != id) {
        members_.erase(it); // refused, or given up: done() has asked for the slot back where there was one
        return;
    }
    LocalMember& member = it->second;
    member.placed = true;
    for (const std::string& payload : std::exchange(member.backlog, {}))
        if (auto message = decodeChannelMessage(payload))
            apply(member, *message);
}

void ClusterRooms::hold(Client& client, uint32_t graceMs) {
    const auto it = members_.find(client.sharedId);
    if (it == members_.end())
        return;
    LocalMember& member = it->second;
    node_.runScript(holdScript(), {member.room, instance(), std::to_string(it->first), std::to_string(graceMs)});
    member.heldSession = client.sessionHash;
    member.heldUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    member.client.reset();
    // This instance's view of the room: a partner here now sees the held slot (its "A" only tells it so); a
    // partner elsewhere or none leaves nothing of the room here.
    Slot* own = state_.slotOf(client);
    const Slot* other = state_.otherSlot(client);
    const auto* partner = other && other->taken() ? dynamic_cast<const Client*>(other->member.get()) : nullptr;
    if (own && partner)
        *own = Slot{std::make_shared<RemoteMember>(*this, std::string(RemoteMember::heldInstance), 0, partner->sharedId,
                                                   member.room, client.sessionHash),
                    client.nick};
    else if (own)
        state_.vacateRoomSlot(client);
}

void ClusterRooms::resume(const std::shared_ptr<Client>& client, const std::string& code, const std::string& hash,
                          const std::string& nextHash, std::function<void(const SharedResume&)> done) {
    const uint64_t id = ++nextId_;
    client->sharedId = id;
    members_[id] = LocalMember{client, code, false, {}, {}, {}};
    node_.runScript(resumeScript(), {code, hash, instance(), std::to_string(id), nextHash},
                    [this, id, epoch = node_.epoch(), done = std::move(done)](const RedisReply& reply) {
                        SignalingState::Lock lock(state_);
                        finishResume(id, epoch, reply, done);
                    });
}

void ClusterRooms::finishResume(uint64_t id, uint64_t epoch, const RedisReply& reply,
                                const std::function<void(const SharedResume&)>& done) {
    auto resumed = readResumeReply(reply);
    if (resumed && epoch != node_.epoch()) { // the registry was restored without it meanwhile
        node_.runScript(leaveScript(), {members_[id].room, instance(), std::to_string(id)});
        resumed.reset();
    }
    if (!resumed) {
        done(SharedResume{});
        return settle(id);
    }
    const std::string& room = members_[id].room;
    if (const auto peer = resumedPeer(reply)) {
        resumed->claim.remotePeerNick = peer->nick;
        if (peer->instance == instance()) {
            resumed->claim.localPeerId = peer->id;
            // The partner is here: the held slot in its view of the room makes way for the member.
            const auto partner = members_.find(peer->id);
            const auto client = partner == members_.end() ? nullptr : partner->second.client.lock();
            if (Slot* slot = client ? state_.otherSlot(*client) : nullptr) {
                const auto* remote = dynamic_cast<const RemoteMember*>(slot->member.get());
                if (remote && remote->held())
                    *slot = Slot{};
            }
        } else {
            resumed->claim.remotePeer = remoteMember(*peer, id, room);
        }
    }
    done(*resumed);
    settle(id);
}

void ClusterRooms::keepForHeld(const std::string& room, const std::string& session, std::string text) {
    node_.runScript(keepScript(), {room, session, std::move(text)}, [this](const RedisReply& reply) {
        if (reply.type == RedisReply::Type::String && reply.text == "overflow")
            bump(state_.counters().resumesOverflow); // its partner hears "L" from the script
    });
}

void ClusterRooms::vacate(const Client& client) {
    const auto it = members_.find(client.sharedId);
    if (it == members_.end())
        return;
    // Sent even while the registry is being restored: the script only frees a slot this member holds.
    node_.runScript(leaveScript(), {it->second.room, instance(), std::to_string(it->first)});
    members_.erase(it);
}

void ClusterRooms::publish(const std::string& instance, ChannelMessage::Kind kind, uint64_t to, uint64_t from,
                           const std::string& room, std::string_view body) {
    node_.command(
        {"PUBLISH", instanceChannel(instance), encodeChannelMessage(kind, to, this->instance(), from, room, body)});
}

std::shared_ptr<Member> ClusterRooms::remoteMember(const RegistryPeer& peer, uint64_t localId,
                                                   const std::string& room) {
    return std::make_shared<RemoteMember>(*this, peer.instance, peer.id, localId, room, peer.session);
}

void ClusterRooms::message(std::string_view payload) {
    const auto message = decodeChannelMessage(payload);
    if (!message)
        return bump(state_.counters().channelMalformed);
    SignalingState::Lock lock(state_);
    const auto it = members_.find(message->to);
    if (it == members_.end())
        return;                            // left meanwhile; its leave tells the sender's side
    if (!it->second.heldSession.empty()) { // its partner has not heard of the hold yet
        if (message->kind == ChannelMessage::Kind::Relay && message->room == it->second.room &&
            isValidJson(message->body))
            keepForHeld(it->second.room, it->second.heldSession, std::string(message->body));
        return;
    }
    if (it->second.placed)
        return apply(it->second, *message);
    if (it->second.backlog.size() < maxBacklog)
        it->second.backlog.emplace_back(payload);
}

void ClusterRooms::apply(LocalMember& member, const ChannelMessage& message) {
    auto& counters = state_.counters();
    const auto client = member.client.lock();
    Slot* other = client ? state_.otherSlot(*client) : nullptr;
    if (!other)
        return;
    const auto* remote = other->taken() ? dynamic_cast<const RemoteMember*>(other->member.get()) : nullptr;
    const bool fromPartner = remote && remote->is(message.fromInstance, message.fromId);
    try {
        switch (judgeChannelMessage(message, member.room, fromPartner, other->taken())) {
        case ChannelVerdict::Deliver: client->deliver(std::string(message.body)); break;
        case ChannelVerdict::PeerJoined:
            *other = Slot{std::make_shared<RemoteMember>(*this, std::string(message.fromInstance), message.fromId,
                                                         message.to, member.room),
                          std::string(message.body)};
            client->peerJoined(other->nick);
            break;
        case ChannelVerdict::PeerLeft:
            *other = Slot{};
            client->peerLeft();
            break;
        case ChannelVerdict::PeerAway:
            if (other->taken()) {
                *other = Slot{std::make_shared<RemoteMember>(*this, std::string(RemoteMember::heldInstance), 0,
                                                             message.to, member.room, std::string(message.body)),
                              other->nick};
                client->peerAway();
            }
            break;
        case ChannelVerdict::PeerBack: {
            const auto* here = dynamic_cast<const Client*>(other->member.get());
            if (message.fromInstance == instance()) {
                // Resumed on this instance: its placement fills the slot, if it has not already.
                if (!here || here->sharedId != message.fromId)
                    *other = Slot{};
            } else {
                *other = Slot{std::make_shared<RemoteMember>(*this, std::string(message.fromInstance), message.fromId,
                                                             message.to, member.room),
                              std::string(message.body)};
            }
            client->peerBack();
            break;
        }
        case ChannelVerdict::Ignore: break;
        case ChannelVerdict::Misdirected: bump(counters.channelMisdirected); break;
        case ChannelVerdict::Malformed: bump(counters.channelMalformed); break;
        }
    } catch (const std::exception&) {
        bump(counters.channelMalformed); // it could not be passed on (out of memory, say): dropped like one
    }
}

void ClusterRooms::lost() {
    for (auto& [id, member] : members_) {
        const auto client = member.client.lock();
        Slot* other = client && member.placed ? state_.otherSlot(*client) : nullptr;
        if (other && other->taken() && dynamic_cast<const RemoteMember*>(other->member.get())) {
            *other = Slot{};
            client->peerLeft();
        }
    }
}

void ClusterRooms::restore(uint64_t epoch) {
    for (const RegistryScript* script : {&joinScript(), &leaveScript(), &reapScript(), &restoreScript()})
        node_.command({"SCRIPT", "LOAD", script->text});
    // Whatever Redis still holds of ours is stale: partners elsewhere are told, as after our death.
    reapSelf({});

    std::vector<HeldMember> held;
    for (const auto& [id, member] : members_)
        if (const auto client = member.client.lock())
            held.push_back(HeldMember{id, member.room, client->nick, member.placed});
    for (RestoreCall& call : planRestore(instance(), held))
        node_.runScript(restoreScript(), std::move(call.args),
                        [this, epoch, first = call.first](const RedisReply& reply) {
                            SignalingState::Lock lock(state_);
                            if (epoch == node_.epoch())
                                restored(first, reply);
                        });
}

// A member that was alone here and now shares its room with one that waited elsewhere: the one that was
// waiting is told, as it would be of any newcomer (it offers); ours receives that offer.
void ClusterRooms::restored(uint64_t id, const RedisReply& reply) {
    const auto peer = readRestoreReply(reply);
    if (!peer)
        return; // put back alone, or left out: its room was taken meanwhile, and it stays this server's
    const auto it = members_.find(id);
    const auto client = it == members_.end() ? nullptr : it->second.client.lock();
    Slot* other = client ? state_.otherSlot(*client) : nullptr;
    if (!other)
        return;
    if (other->taken()) {
        // The peer's own restore came first and told ours of it. Since then this restore's first step, clearing
        // what we held before, has told the peer that ours left, in the words a real leave uses. So the peer is
        // told again that ours is here (after that, on the same connection); if it still has ours, it ignores it.
        const auto* remote = dynamic_cast<const RemoteMember*>(other->member.get());
        if (remote && remote->is(peer->instance, peer->id))
            other->member->peerJoined(client->nick);
        return;
    }
    *other = Slot{remoteMember(*peer, id, it->second.room), peer->nick};
    other->member->peerJoined(client->nick);
}

void ClusterRooms::reapOthers() {
    node_.runScript(reapScript(), {instance(), "others", std::to_string(resumeGraceMs_)},
                    [this](const RedisReply& reply) {
                        if (reply.type == RedisReply::Type::Array && reply.elements.size() == 2)
                            bump(state_.counters().resumesExpired,
                                 static_cast<uint64_t>(std::max<int64_t>(0, reply.elements[1].integer)));
                    });
    // Members held here long enough for their partners to have heard of it are forgotten.
    SignalingState::Lock lock(state_);
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(members_,
                  [&](const auto& entry) { return !entry.second.heldSession.empty() && entry.second.heldUntil < now; });
}

void ClusterRooms::reapSelf(ClusterNode::Callback done) {
    node_.runScript(reapScript(), {instance(), "self"}, std::move(done));
}

void RemoteMember::deliver(std::string text) {
    if (held())
        return rooms_.keepForHeld(room_, session_, std::move(text));
    rooms_.publish(instance_, ChannelMessage::Kind::Relay, id_, localId_, room_, text);
}

void RemoteMember::peerJoined(const std::string& nick) {
    if (held())
        return rooms_.keepForHeld(room_, session_, dumpCompact(peerJoinedMessage(nick)));
    rooms_.publish(instance_, ChannelMessage::Kind::Joined, id_, localId_, room_, nick);
}

} // namespace murva
