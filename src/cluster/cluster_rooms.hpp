// Rooms shared between the instances of one service through Redis, built on the instance's ClusterNode: joins
// and leaves are scripts run there, frames for a member on another instance go over that instance's channel,
// and what this instance holds is freed when it dies and put back when Redis lost it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cluster/channel_message.hpp"
#include "cluster/cluster_node.hpp"
#include "cluster/restore_plan.hpp"
#include "signaling/shared_rooms.hpp"
#include "signaling/state.hpp"

namespace murva {

struct RegistryPeer;

class ClusterRooms final : public SharedRooms, private ClusterNode::Registry {
public:
    // Attaches itself to `node`, which must not be started yet; `state` and `node` must outlive it, and the
    // node must be destroyed first (its threads call in here).
    // `failoverWaitMs`: how long a pair across instances is kept while Redis is unreachable (0: it ends at once).
    ClusterRooms(ClusterNode& node, SignalingState& state, uint32_t maxRooms, uint32_t resumeGraceMs = 0,
                 uint32_t failoverWaitMs = 0);

    const std::string& instance() const { return node_.instance(); }

    void claim(const std::shared_ptr<Client>& client, const std::string& code, const std::string& nick,
               std::function<void(const SharedClaim&)> done) override;
    void vacate(const Client& client) override;
    void hold(Client& client, uint32_t graceMs) override;
    void resume(const std::shared_ptr<Client>& client, const std::string& code, const std::string& hash,
                const std::string& nextHash, std::function<void(const SharedResume&)> done) override;
    bool available() const override { return node_.available(); }
    void onAvailable(std::function<void()> callback) override { onAvailable_ = std::move(callback); }

    // For losses from now on; a pair already kept keeps its end.
    void setFailoverWait(uint32_t ms) { failoverWaitMs_.store(ms, std::memory_order_relaxed); }

    // Sends a message about room `room` to member `to` of `instance` in the name of this instance's `from`.
    void publish(const std::string& instance, ChannelMessage::Kind kind, uint64_t to, uint64_t from,
                 const std::string& room, std::string_view body);
    // Keeps `text` in Redis for the member of room `room` whose slot is held for session `session`.
    // `fromInstance` and `fromId` name the sender of a relayed frame, which is passed on to the member that
    // resumed the slot if it was resumed before this came.
    void keepForHeld(const std::string& room, const std::string& session, std::string text,
                     std::string_view fromInstance = {}, uint64_t fromId = 0);
    // While the pair of this instance's member `from` is kept through a loss of Redis, what it sends its partner
    // waits here until the pair goes on: true when `text` was taken (or dropped, past the bound).
    bool holdBack(uint64_t from, std::string& text);

private:
    // One member of this instance in the registry, from its claim to its vacate.
    struct LocalMember {
        std::weak_ptr<Client> client{};
        std::string room{};
        bool placed = false;                // its claim was answered and it is in the room here
        std::vector<std::string> backlog{}; // channel messages for it that came before that
        // Its connection dropped and its slot is held: frames for it that still reach this instance go to Redis
        // too, until its partner has heard of the hold.
        std::string heldSession{};
        std::chrono::steady_clock::time_point heldUntil{};
        // Its partner is on another instance and Redis was lost: the pair is kept until `keptUntil`, and what it
        // sends the partner waits here. It goes on once this instance has put it back in the registry and the
        // partner's instance has said ("K") that it kept the pair too.
        bool kept = false;
        bool keptRestored = false; // put back since the loss
        bool partnerBack = false;  // the partner's instance has said so since the loss
        std::chrono::steady_clock::time_point keptUntil{};
        std::vector<std::string> keptFrames{};
        std::size_t keptBytes = 0;
    };

    // ClusterNode::Registry
    void lost() override;                  // pairs that cross instances are kept a while, or end at once
    void restore(uint64_t epoch) override; // our slots in Redis cleared, then the rooms we still have put back
    void regained() override;
    void reapOthers() override;
    void reapSelf(ClusterNode::Callback done) override;
    void message(std::string_view payload) override;

    // Each runs under the state's lock.
    void finishClaim(uint64_t id, uint64_t epoch, const RedisReply& reply,
                     const std::function<void(const SharedClaim&)>& done);
    void apply(LocalMember& member, const ChannelMessage& message);
    void restored(uint64_t id, const RedisReply& reply);
    // A kept pair: goes on (what was kept is sent), or ends ("peer-left" to both sides).
    void partnerBack(LocalMember& member);
    void confirmKept(LocalMember& member);
    void endKept(uint64_t id, LocalMember& member, bool tellPartner);
    void dropKept(LocalMember& member); // no longer kept, and what was kept is dropped (the member left, say)
    // Runs the restore calls; their replies count for `epoch` only.
    void putBack(uint64_t epoch, std::vector<RestoreCall> calls);
    void keepOver();           // on the command connection's thread: kept pairs whose time is up end
    void askKept(uint64_t id); // locked: "did you keep it too?" until answered
    void finishResume(uint64_t id, uint64_t epoch, const RedisReply& reply,
                      const std::function<void(const SharedResume&)>& done);
    // After a claim or resume was answered: the member takes what came for it meanwhile, or is forgotten.
    void settle(uint64_t id);

    std::shared_ptr<Member> remoteMember(const RegistryPeer& peer, uint64_t localId, const std::string& room);

    ClusterNode& node_;
    SignalingState& state_;
    const uint32_t maxRooms_;
    const uint32_t resumeGraceMs_;
    std::atomic<uint32_t> failoverWaitMs_;
    std::function<void()> onAvailable_; // set before the node starts
    // Under the state's lock:
    uint64_t nextId_ = 0;
    std::unordered_map<uint64_t, LocalMember> members_;
};

} // namespace murva
