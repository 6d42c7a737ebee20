// Rooms shared between the instances of one service through Redis: joins and leaves are scripts run there,
// frames for a member on another instance go over that instance's channel, and heartbeats let the others free
// the rooms of an instance that died.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cluster/channel_message.hpp"
#include "config/settings.hpp"
#include "signaling/shared_rooms.hpp"
#include "signaling/state.hpp"

namespace murva {

class RedisConnection;
struct RedisReply;

class ClusterRooms final : public SharedRooms {
public:
    // Throws std::invalid_argument for a Redis URL it cannot use. `state` must outlive it.
    ClusterRooms(SignalingState& state, const ClusterSettings& settings, uint32_t maxRooms);
    ~ClusterRooms() override; // stop()

    // Connects (and keeps reconnecting); joins are refused as "at capacity" until Redis answers.
    void start();
    // Gives back what this instance still holds in Redis (briefly waiting for it), then disconnects. Call it
    // after the last connection has closed.
    void stop();

    const std::string& instance() const { return instance_; }

    void claim(const std::shared_ptr<Client>& client, const std::string& code, const std::string& nick,
               std::function<void(const SharedClaim&)> done) override;
    void vacate(const Client& client) override;
    bool available() const override { return available_.load(std::memory_order_acquire); }

    // Sends a message to member `to` of `instance` in the name of this instance's member `from`.
    void publish(const std::string& instance, ChannelMessage::Kind kind, uint64_t to, uint64_t from,
                 std::string_view body);

private:
    // One member of this instance in the registry, from its claim to its vacate.
    struct LocalMember {
        std::weak_ptr<Client> client;
        std::string room;
        bool placed = false;              // its claim was answered and it is in the room here
        std::vector<std::string> backlog; // channel messages for it that came before that
    };

    // Each runs under the state's lock.
    void finishClaim(uint64_t id, uint64_t epoch, const RedisReply& reply, const std::function<void(const SharedClaim&)>& done);
    void handleChannelMessage(std::string_view payload);
    void apply(LocalMember& member, const ChannelMessage& message);
    void connectionUp(bool commands);
    void connectionLost(bool commands);
    void forgetRemotePeers(); // every pair that crosses instances ends: "peer-left" to our side
    void resync();            // after a loss: our slots in Redis cleared, then the rooms we still have put back
    void restored(uint64_t id, const RedisReply& reply);
    void heartbeat();         // on the command connection's thread

    std::shared_ptr<Member> remoteMember(const RedisReply& reply, std::size_t first, uint64_t localId);

    SignalingState& state_;
    const ClusterSettings settings_;
    const uint32_t maxRooms_;
    const std::string instance_;
    std::unique_ptr<RedisConnection> commands_;
    std::unique_ptr<RedisConnection> subscriber_;

    std::atomic<bool> available_{false};
    std::atomic<bool> stopped_{false};
    // Under the state's lock:
    bool commandsUp_ = false;
    bool subscriberUp_ = false;
    uint64_t epoch_ = 0; // counts losses: answers to what was asked before one are not believed
    uint64_t nextId_ = 0;
    std::unordered_map<uint64_t, LocalMember> members_;
};

} // namespace murva
