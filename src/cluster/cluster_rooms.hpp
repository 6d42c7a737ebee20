// Rooms shared between the instances of one service through Redis: joins and leaves are scripts run there,
// frames for a member on another instance go over that instance's channel, and heartbeats let the others free
// the rooms of an instance that died.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
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
struct RegistryScript;

class ClusterRooms final : public SharedRooms {
public:
    // Throws std::invalid_argument for a Redis URL it cannot use. `state` must outlive it.
    ClusterRooms(SignalingState& state, const ClusterSettings& settings, uint32_t maxRooms);
    ~ClusterRooms() override; // stop()

    // Connects (and keeps reconnecting); joins are refused as "at capacity" until Redis answers. When Redis
    // answers at once and the instance's name is held, waits up to instance_timeout_ms for it to be given up
    // (a crashed predecessor's heartbeat expiring); throws std::runtime_error when it is still held then.
    void start();
    // Gives back what this instance still holds in Redis (briefly waiting for it), then disconnects. Call it
    // after the last connection has closed.
    void stop();

    const std::string& instance() const { return instance_; }

    void claim(const std::shared_ptr<Client>& client, const std::string& code, const std::string& nick,
               std::function<void(const SharedClaim&)> done) override;
    void vacate(const Client& client) override;
    bool available() const override { return available_.load(std::memory_order_acquire); }

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

    void claimName(); // start(): takes the heartbeat key only where it does not exist
    // EVALSHA, and EVAL when Redis has lost the script (a flushed cache, a replica promoted without it).
    void runScript(const RegistryScript& script, std::vector<std::string> args,
                   std::function<void(const RedisReply&)> done = {});
    void warn(const std::string& line) const; // one line on standard error

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
    void heartbeatRefused(const std::string& error); // likewise, without the state's lock

    std::shared_ptr<Member> remoteMember(const RedisReply& reply, std::size_t first, uint64_t localId,
                                         const std::string& room);

    SignalingState& state_;
    const ClusterSettings settings_;
    const uint32_t maxRooms_;
    const std::string instance_;
    const std::string nonce_; // the heartbeat's value: this process's, not another's with the same name
    std::unique_ptr<RedisConnection> commands_;
    std::unique_ptr<RedisConnection> subscriber_;

    std::atomic<bool> available_{false};
    std::atomic<bool> stopped_{false};
    std::atomic<bool> closing_{false}; // the connections are being stopped: nothing more is sent
    std::atomic<bool> held_{false};    // the name is ours (or could not be checked): stop() gives it back
    std::atomic<bool> twinReported_{false};
    // Under the state's lock:
    bool commandsUp_ = false;
    bool subscriberUp_ = false;
    bool named_ = false; // claimName has finished: the registry may be written
    uint64_t epoch_ = 0; // counts losses: answers to what was asked before one are not believed
    uint64_t nextId_ = 0;
    std::unordered_map<uint64_t, LocalMember> members_;
};

} // namespace murva
