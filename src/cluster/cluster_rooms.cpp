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

const RemoteMember* remoteIn(const Slot* slot) {
    return slot && slot->taken() ? dynamic_cast<const RemoteMember*>(slot->member.get()) : nullptr;
}

} // namespace

ClusterRooms::ClusterRooms(ClusterNode& node, SignalingState& state, uint32_t maxRooms, uint32_t resumeGraceMs,
                           uint32_t failoverWaitMs)
    : node_(node), state_(state), maxRooms_(maxRooms), resumeGraceMs_(resumeGraceMs), failoverWaitMs_(failoverWaitMs) {
    node_.attach(*this);
}

void ClusterRooms::claim(const std::shared_ptr<Client>& client, const std::string& code, const std::string& nick,
                         std::function<void(const SharedClaim&)> done) {
    const uint64_t id = ++nextId_;
    client->sharedId = id;
    members_[id] = LocalMember{client, code};
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
    dropKept(member);
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
    members_[id] = LocalMember{client, code};
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
        SharedResume none;
        none.unavailable = reply.isError(); // not asked: the join may wait for Redis and ask again
        done(none);
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

void ClusterRooms::keepForHeld(const std::string& room, const std::string& session, std::string text,
                               std::string_view fromInstance, uint64_t fromId) {
    std::vector<std::string> args{room, session, std::move(text)};
    if (!fromInstance.empty()) { // a relayed frame: passed on if the slot was resumed meanwhile
        args.emplace_back(fromInstance);
        args.push_back(std::to_string(fromId));
    }
    node_.runScript(keepScript(), std::move(args), [this](const RedisReply& reply) {
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
    dropKept(it->second);
    members_.erase(it);
}

void ClusterRooms::publish(const std::string& instance, ChannelMessage::Kind kind, uint64_t to, uint64_t from,
                           const std::string& room, std::string_view body) {
    node_.command(
        {"PUBLISH", instanceChannel(instance), encodeChannelMessage(kind, to, this->instance(), from, room, body)});
}

bool ClusterRooms::holdBack(uint64_t from, std::string& text) {
    const auto it = members_.find(from);
    if (it == members_.end() || !it->second.kept)
        return false;
    // Within what a held slot keeps; past that a frame is dropped, and counted, and the pair goes on.
    LocalMember& member = it->second;
    if (member.keptFrames.size() >= AwayMember::maxMessages || member.keptBytes + text.size() > AwayMember::maxBytes) {
        bump(state_.counters().failoverFramesDropped);
        return true;
    }
    member.keptBytes += text.size();
    member.keptFrames.push_back(std::move(text));
    return true;
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
            keepForHeld(it->second.room, it->second.heldSession, std::string(message->body), message->fromInstance,
                        message->fromId);
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
        case ChannelVerdict::Rejoined:
            if (!member.kept)
                break; // a late repeat
            // Its instance ended the pair during the loss and met ours again as a newcomer: so does ours.
            endKept(message.to, member, false);
            *other = Slot{std::make_shared<RemoteMember>(*this, std::string(message.fromInstance), message.fromId,
                                                         message.to, member.room),
                          std::string(message.body)};
            client->peerJoined(other->nick);
            break;
        case ChannelVerdict::PartnerKept:
            if (message.body == "?")
                publish(std::string(message.fromInstance), ChannelMessage::Kind::Kept, message.fromId, message.to,
                        member.room, {});
            partnerBack(member);
            break;
        case ChannelVerdict::PeerLeft:
            dropKept(member);
            *other = Slot{};
            client->peerLeft();
            break;
        case ChannelVerdict::PeerAway:
            if (other->taken()) {
                *other = Slot{std::make_shared<RemoteMember>(*this, std::string(RemoteMember::heldInstance), 0,
                                                             message.to, member.room, std::string(message.body)),
                              other->nick};
                client->peerAway();
                partnerBack(member); // what was kept goes to the held slot
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
            partnerBack(member); // what was kept goes to the partner where it is now
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
    const std::chrono::milliseconds wait(failoverWaitMs_.load(std::memory_order_relaxed));
    const auto until = std::chrono::steady_clock::now() + wait;
    bool keeping = false;
    for (auto& [id, member] : members_) {
        member.keptRestored = member.partnerBack = false; // both instances say so again after each loss
        const auto client = member.client.lock();
        Slot* other = client && member.placed ? state_.otherSlot(*client) : nullptr;
        const RemoteMember* remote = remoteIn(other);
        if (!remote)
            continue;
        if (wait.count() > 0) {
            if (!member.kept) {
                member.kept = true;
                member.keptUntil = until; // a pair still kept from an earlier loss keeps its end
            }
            keeping = true;
            continue;
        }
        *other = Slot{};
        client->peerLeft();
    }
    if (keeping)
        node_.after(wait, [this] { keepOver(); });
}

void ClusterRooms::keepOver() {
    SignalingState::Lock lock(state_);
    const auto now = std::chrono::steady_clock::now();
    for (auto& [id, member] : members_)
        if (member.kept && member.keptUntil <= now)
            endKept(id, member, true);
}

void ClusterRooms::dropKept(LocalMember& member) {
    if (!member.kept)
        return;
    bump(state_.counters().failoverFramesDropped, member.keptFrames.size());
    member.kept = false;
    member.keptFrames.clear();
    member.keptBytes = 0;
}

// The partner's side is known to be there again; what was kept goes to it once this side is in the registry again
// too (and can send).
void ClusterRooms::partnerBack(LocalMember& member) {
    if (!member.kept)
        return;
    member.partnerBack = true;
    if (member.keptRestored)
        confirmKept(member);
}

void ClusterRooms::confirmKept(LocalMember& member) {
    if (!member.kept)
        return;
    member.kept = false;
    bump(state_.counters().failoverPairsKept);
    const auto client = member.client.lock();
    Member* partner = client ? state_.peerOf(*client) : nullptr;
    auto frames = std::exchange(member.keptFrames, {});
    member.keptBytes = 0;
    if (!partner)
        return bump(state_.counters().failoverFramesDropped, frames.size());
    bump(state_.counters().failoverFramesSent, frames.size());
    for (auto& frame : frames)
        partner->deliver(std::move(frame));
}

// "peer-left" to our member and, with `tellPartner`, to its partner, as after any loss of Redis; a member back
// in the registry then meets whoever is in its room there, as the restore has it meet one that waited elsewhere.
void ClusterRooms::endKept(uint64_t id, LocalMember& member, bool tellPartner) {
    if (!member.kept)
        return;
    dropKept(member);
    bump(state_.counters().failoverPairsEnded);
    const auto client = member.client.lock();
    Slot* other = client ? state_.otherSlot(*client) : nullptr;
    const RemoteMember* remote = remoteIn(other);
    if (!remote)
        return;
    // Its instance may still keep the pair (while Redis is away this is lost, and the reap after it says so).
    if (tellPartner && !remote->held())
        publish(remote->instance(), ChannelMessage::Kind::Left, remote->id(), id, member.room, {});
    *other = Slot{};
    client->peerLeft();
    if (tellPartner && member.keptRestored)
        putBack(node_.epoch(), planRestore(instance(), {HeldMember{id, member.room, client->nick, true}}));
}

void ClusterRooms::restore(uint64_t epoch) {
    for (const RegistryScript* script : {&joinScript(), &leaveScript(), &reapScript(), &restoreScript()})
        node_.command({"SCRIPT", "LOAD", script->text});
    // Whatever Redis still holds of ours is stale: partners elsewhere are told, as after our death. Members whose
    // pair is kept stay where they are: their partners must hear of no leave.
    std::vector<std::string> reap{instance(), "self"};
    for (const auto& [id, member] : members_)
        if (member.kept) {
            reap.push_back(member.room);
            reap.push_back(std::to_string(id));
        }
    node_.runScript(reapScript(), std::move(reap));

    std::vector<HeldMember> held;
    for (const auto& [id, member] : members_)
        if (const auto client = member.client.lock())
            held.push_back(HeldMember{id, member.room, client->nick, member.placed});
    putBack(epoch, planRestore(instance(), held));
}

void ClusterRooms::putBack(uint64_t epoch, std::vector<RestoreCall> calls) {
    for (RestoreCall& call : calls)
        node_.runScript(restoreScript(), std::move(call.args),
                        [this, epoch, first = call.first](const RedisReply& reply) {
                            SignalingState::Lock lock(state_);
                            if (epoch == node_.epoch())
                                restored(first, reply);
                        });
}

void ClusterRooms::regained() {
    if (onAvailable_)
        onAvailable_();
}

// Asks the partner's instance whether it kept the pair too ("K" with "?"), and again every half second until
// it answers or the wait is over: pub/sub keeps nothing for a subscriber that is not there yet, and the
// partner's instance may still be moving its connections to the new master when the first question is sent.
void ClusterRooms::askKept(uint64_t id) {
    constexpr std::chrono::milliseconds askAgain{500};
    const auto it = members_.find(id);
    if (it == members_.end())
        return;
    LocalMember& member = it->second;
    const auto client = member.client.lock();
    const RemoteMember* partner = client && member.placed ? remoteIn(state_.otherSlot(*client)) : nullptr;
    if (!member.kept || !member.keptRestored || member.partnerBack || !partner || partner->held())
        return; // answered, ended, or a new loss (whose restore asks anew)
    publish(partner->instance(), ChannelMessage::Kind::Kept, partner->id(), id, member.room, "?");
    if (std::chrono::steady_clock::now() + askAgain < member.keptUntil)
        node_.after(askAgain, [this, id] {
            SignalingState::Lock lock(state_);
            askKept(id);
        });
}

// A member that was alone here and now shares its room with one that waited elsewhere: the one that was
// waiting is told, as it would be of any newcomer (it offers); ours receives that offer. A kept pair goes on
// when its partner's instance says it kept it too ("K"), asked here once the partner is seen in the room; a
// room that holds anyone else ends it.
void ClusterRooms::restored(uint64_t id, const RedisReply& reply) {
    const auto it = members_.find(id);
    const auto client = it == members_.end() ? nullptr : it->second.client.lock();
    Slot* other = client ? state_.otherSlot(*client) : nullptr;
    if (!other || reply.isError())
        return;
    LocalMember& member = it->second;
    const auto peer = readRestoreReply(reply);
    if (member.kept) {
        const RemoteMember* partner = remoteIn(other);
        const bool withPartner = peer && partner && partner->is(peer->instance, peer->id);
        // A partner whose slot is held lives in Redis alone: it is there still, or it is gone for good.
        const bool held = partner && partner->held();
        if (restorePlaced(reply) && (withPartner || (!peer && !held))) {
            member.keptRestored = true;
            if (held || member.partnerBack)
                return confirmKept(member);
            if (withPartner)
                askKept(id);
            return;
        }
        // The held partner resumed elsewhere while this instance could not hear it say so ("B"): a slot held for
        // it is taken by nobody else, and a resume keeps the nick.
        if (held && restorePlaced(reply) && peer && peer->instance != RemoteMember::heldInstance &&
            peer->nick == other->nick) {
            member.keptRestored = true;
            *other = Slot{remoteMember(*peer, id, member.room), peer->nick};
            client->peerBack();
            return confirmKept(member);
        }
        endKept(id, member, true); // it meets the one in its room below, if any
    }
    if (!peer)
        return; // put back alone
    if (other->taken()) {
        // The peer's own restore came first and told ours of it. Since then this restore's first step, clearing
        // what we held before, has told the peer that ours left, in the words a real leave uses. So the peer is
        // told again that ours is here (after that, on the same connection); if it still has ours, it ignores it.
        // Anyone else there took the room meanwhile: ours is left out and stays this server's.
        if (const RemoteMember* remote = remoteIn(other); remote && remote->is(peer->instance, peer->id))
            other->member->peerJoined(client->nick);
        return;
    }
    *other = Slot{remoteMember(*peer, id, member.room), peer->nick};
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
    if (rooms_.holdBack(localId_, text))
        return;
    if (held())
        return rooms_.keepForHeld(room_, session_, std::move(text), rooms_.instance(), localId_);
    rooms_.publish(instance_, ChannelMessage::Kind::Relay, id_, localId_, room_, text);
}

void RemoteMember::peerJoined(const std::string& nick) {
    if (held())
        return rooms_.keepForHeld(room_, session_, dumpCompact(peerJoinedMessage(nick)));
    rooms_.publish(instance_, ChannelMessage::Kind::Joined, id_, localId_, room_, nick);
}

} // namespace murva
