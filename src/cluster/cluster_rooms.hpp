// Rooms shared between the instances of one service through Redis, built on the instance's ClusterNode: joins
// and leaves are scripts run there, frames for a member on another instance go over that instance's channel,
// and what this instance holds is freed when it dies and put back when Redis lost it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cluster/channel_message.hpp"
#include "cluster/cluster_node.hpp"
#include "signaling/shared_rooms.hpp"
#include "signaling/state.hpp"

namespace murva {

struct RegistryPeer;

class ClusterRooms final : public SharedRooms, private ClusterNode::Registry {
public:
    // Attaches itself to `node`, which must not be started yet; `state` and `node` must outlive it, and the
    // node must be destroyed first (its threads call in here).
    ClusterRooms(ClusterNode& node, SignalingState& state, uint32_t maxRooms);

    const std::string& instance() const { return node_.instance(); }

    void claim(const std::shared_ptr<Client>& client, const std::string& code, const std::string& nick,
               std::function<void(const SharedClaim&)> done) override;
    void vacate(const Client& client) override;
    bool available() const override { return node_.available(); }

    // Sends a message about room `room` to member `to` of `instance` in the name of this instance's `from`.
    void publish(const std::string& instance, ChannelMessage::Kind kind, uint64_t to, uint64_t from,
                 const std::string& room, std::string_view body);

private:
    // One member of this instance in the registry, from its claim to its vacate.
    struct LocalMember {
        std::weak_ptr<Client> client;
        std::string room;
        bool placed = false;              // its claim was answered and it is in the room here
        std::vector<std::string> backlog; // channel messages for it that came before that
    };

    // ClusterNode::Registry
    void lost() override;                  // every pair that crosses instances ends: "peer-left" to our side
    void restore(uint64_t epoch) override; // our slots in Redis cleared, then the rooms we still have put back
    void reapOthers() override;
    void reapSelf(ClusterNode::Callback done) override;
    void message(std::string_view payload) override;

    // Each runs under the state's lock.
    void finishClaim(uint64_t id, uint64_t epoch, const RedisReply& reply,
                     const std::function<void(const SharedClaim&)>& done);
    void apply(LocalMember& member, const ChannelMessage& message);
    void restored(uint64_t id, const RedisReply& reply);

    std::shared_ptr<Member> remoteMember(const RegistryPeer& peer, uint64_t localId, const std::string& room);

    ClusterNode& node_;
    SignalingState& state_;
    const uint32_t maxRooms_;
    // Under the state's lock:
    uint64_t nextId_ = 0;
    std::unordered_map<uint64_t, LocalMember> members_;
};

} // namespace murva
