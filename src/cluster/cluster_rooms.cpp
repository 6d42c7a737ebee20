// The shared room registry's client side: claims and leaves, the channel, heartbeats and recovery after a loss.
#include "cluster/cluster_rooms.hpp"

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <random>
#include <stdexcept>

#include "cluster/redis_connection.hpp"
#include "cluster/redis_url.hpp"
#include "cluster/registry_scripts.hpp"
#include "cluster/remote_member.hpp"

namespace murva {

namespace {

std::string madeUpInstanceName() {
    std::random_device random;
    std::uniform_int_distribution<uint64_t> any;
    static constexpr char hex[] = "0123456789abcdef";
    std::string name;
    for (uint64_t bits = any(random), i = 0; i < 16; ++i, bits >>= 4)
        name += hex[bits & 15];
    return name;
}

RedisEndpoint endpointFor(const ClusterSettings& settings) {
    RedisEndpoint endpoint = parseRedisUrl(settings.redis);
    if (!settings.redisPassword.empty())
        endpoint.password = settings.redisPassword;
    return endpoint;
}

bool isString(const RedisReply& reply, std::string_view text) {
    return reply.type == RedisReply::Type::String && reply.text == text;
}

// The element of an array reply, or a nil reply when there is none.
const RedisReply& element(const RedisReply& reply, std::size_t index) {
    static const RedisReply nil{};
    return reply.type == RedisReply::Type::Array && index < reply.elements.size() ? reply.elements[index] : nil;
}

uint64_t idOf(const RedisReply& reply) {
    try {
        return reply.type == RedisReply::Type::String ? std::stoull(reply.text) : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

constexpr std::size_t maxBacklog = 256; // a member that has not been answered yet receives little

} // namespace

ClusterRooms::ClusterRooms(SignalingState& state, const ClusterSettings& settings, uint32_t maxRooms)
    : state_(state), settings_(settings), maxRooms_(maxRooms),
      instance_(settings.instance.empty() ? madeUpInstanceName() : settings.instance) {
    const RedisEndpoint endpoint = endpointFor(settings_);
    RedisOptions options;
    // A Redis that stops answering (paused, cut off) counts as lost after half the instance timeout.
    options.livenessInterval = std::chrono::milliseconds(std::max(settings_.heartbeatMs, settings_.instanceTimeoutMs / 4));
    RedisConnection::Handlers commandHandlers;
    commandHandlers.connected = [this] { connectionUp(true); };
    commandHandlers.lost = [this](const std::string&) { connectionLost(true); };
    commands_ = std::make_unique<RedisConnection>(endpoint, std::move(commandHandlers), options);

    RedisConnection::Handlers subscriberHandlers;
    subscriberHandlers.connected = [this] { connectionUp(false); };
    subscriberHandlers.lost = [this](const std::string&) { connectionLost(false); };
    subscriberHandlers.message = [this](std::string_view, std::string_view payload) { handleChannelMessage(payload); };
    subscriber_ = std::make_unique<RedisConnection>(endpoint, std::move(subscriberHandlers), options);
}

ClusterRooms::~ClusterRooms() {
    stop();
    // Their threads run the last callbacks (error replies), which use the members below: joined first.
    subscriber_.reset();
    commands_.reset();
}

void ClusterRooms::start() {
    subscriber_->subscribe(instanceChannel(instance_));
    subscriber_->start();
    commands_->start();
    commands_->every(std::chrono::milliseconds(settings_.heartbeatMs), [this] { heartbeat(); });
}

void ClusterRooms::stop() {
    if (stopped_.exchange(true))
        return;
    available_ = false;
    if (commands_->connected()) {
        // Whatever is still ours goes, and the heartbeat with it: the others need not wait for it to expire.
        auto done = std::make_shared<std::promise<void>>();
        commands_->command({"EVALSHA", reapScript().sha1, "0", instance_, "self"});
        commands_->command({"DEL", heartbeatKey(instance_)}, [done](const RedisReply&) { done->set_value(); });
        done->get_future().wait_for(std::chrono::seconds(1));
    }
    subscriber_->stop();
    commands_->stop();
}

void ClusterRooms::claim(const std::shared_ptr<Client>& client, const std::string& code, const std::string& nick,
                         std::function<void(const SharedClaim&)> done) {
    const uint64_t id = ++nextId_;
    client->sharedId = id;
    members_[id] = LocalMember{client, code, false, {}};
    commands_->command({"EVALSHA", joinScript().sha1, "0", code, instance_, std::to_string(id), nick,
                        std::to_string(maxRooms_)},
                       [this, id, epoch = epoch_, done = std::move(done)](const RedisReply& reply) {
                           SignalingState::Lock lock(state_);
                           finishClaim(id, epoch, reply, done);
                       });
}

void ClusterRooms::finishClaim(uint64_t id, uint64_t epoch, const RedisReply& reply,
                               const std::function<void(const SharedClaim&)>& done) {
    SharedClaim claim;
    const RedisReply& outcome = element(reply, 0);
    if (epoch != epoch_) {
        // Asked before a loss: the registry has been restored since without this member. A slot it got
        // there is given back (the restore's clean-up may have done so already).
        if (isString(outcome, "joined"))
            commands_->command({"EVALSHA", leaveScript().sha1, "0", members_[id].room, instance_, std::to_string(id)});
    } else if (isString(outcome, "full")) {
        claim.outcome = SharedClaim::Outcome::RoomFull;
    } else if (isString(outcome, "limit")) {
        claim.outcome = SharedClaim::Outcome::RoomLimitReached;
    } else if (isString(outcome, "joined")) {
        claim.outcome = SharedClaim::Outcome::Joined;
        if (const RedisReply& peer = element(reply, 1); peer.type == RedisReply::Type::String) {
            if (peer.text == instance_)
                claim.localPeerId = idOf(element(reply, 2));
            else
                claim.remotePeer = remoteMember(reply, 1, id);
            claim.remotePeerNick = element(reply, 3).text;
        }
    }
    done(claim);

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

void ClusterRooms::vacate(const Client& client) {
    const auto it = members_.find(client.sharedId);
    if (it == members_.end())
        return;
    // Sent even while the registry is being restored: the script only frees a slot this member holds.
    commands_->command({"EVALSHA", leaveScript().sha1, "0", it->second.room, instance_, std::to_string(it->first)});
    members_.erase(it);
}

void ClusterRooms::publish(const std::string& instance, ChannelMessage::Kind kind, uint64_t to, uint64_t from,
                           std::string_view body) {
    commands_->command({"PUBLISH", instanceChannel(instance), encodeChannelMessage(kind, to, instance_, from, body)});
}

std::shared_ptr<Member> ClusterRooms::remoteMember(const RedisReply& reply, std::size_t first, uint64_t localId) {
    return std::make_shared<RemoteMember>(*this, element(reply, first).text, idOf(element(reply, first + 1)), localId);
}

void ClusterRooms::handleChannelMessage(std::string_view payload) {
    const auto message = decodeChannelMessage(payload);
    if (!message)
        return;
    SignalingState::Lock lock(state_);
    const auto it = members_.find(message->to);
    if (it == members_.end())
        return; // left meanwhile; its leave tells the sender's side
    if (it->second.placed)
        return apply(it->second, *message);
    if (it->second.backlog.size() < maxBacklog)
        it->second.backlog.emplace_back(payload);
}

void ClusterRooms::apply(LocalMember& member, const ChannelMessage& message) {
    const auto client = member.client.lock();
    Slot* other = client ? state_.otherSlot(*client) : nullptr;
    if (!other)
        return;
    const auto* remote = other->taken() ? dynamic_cast<const RemoteMember*>(other->member.get()) : nullptr;
    const bool fromPeer = remote && remote->is(message.fromInstance, message.fromId);
    switch (message.kind) {
    case ChannelMessage::Kind::Relay:
        if (fromPeer)
            client->deliver(std::string(message.body));
        break;
    case ChannelMessage::Kind::Joined:
        if (!other->taken()) {
            *other = Slot{std::make_shared<RemoteMember>(*this, std::string(message.fromInstance), message.fromId,
                                                         message.to),
                          std::string(message.body)};
            client->peerJoined(other->nick);
        }
        break;
    case ChannelMessage::Kind::Left:
        if (fromPeer) {
            *other = Slot{};
            client->peerLeft();
        }
        break;
    }
}

void ClusterRooms::connectionUp(bool commands) {
    SignalingState::Lock lock(state_);
    (commands ? commandsUp_ : subscriberUp_) = true;
    if (commandsUp_ && subscriberUp_ && !stopped_)
        resync();
}

void ClusterRooms::connectionLost(bool commands) {
    SignalingState::Lock lock(state_);
    (commands ? commandsUp_ : subscriberUp_) = false;
    available_ = false;
    ++epoch_;
    forgetRemotePeers();
}

void ClusterRooms::forgetRemotePeers() {
    for (auto& [id, member] : members_) {
        const auto client = member.client.lock();
        Slot* other = client && member.placed ? state_.otherSlot(*client) : nullptr;
        if (other && other->taken() && dynamic_cast<const RemoteMember*>(other->member.get())) {
            *other = Slot{};
            client->peerLeft();
        }
    }
}

void ClusterRooms::resync() {
    const uint64_t epoch = epoch_;
    for (const RegistryScript* script : {&joinScript(), &leaveScript(), &reapScript(), &restoreScript()})
        commands_->command({"SCRIPT", "LOAD", script->text});
    commands_->command({"SET", heartbeatKey(instance_), "1", "PX", std::to_string(settings_.instanceTimeoutMs)});
    // Whatever Redis still holds of ours is stale: partners elsewhere are told, as after our death.
    commands_->command({"EVALSHA", reapScript().sha1, "0", instance_, "self"});

    std::map<std::string, std::vector<std::pair<uint64_t, std::string>>> rooms; // code -> (id, nick)
    for (const auto& [id, member] : members_)
        if (const auto client = member.client.lock(); client && member.placed)
            rooms[member.room].emplace_back(id, client->nick);
    for (const auto& [code, held] : rooms) {
        std::vector<std::string> command{"EVALSHA", restoreScript().sha1, "0", code, instance_,
                                         std::to_string(held.size())};
        for (const auto& [id, nick] : held) {
            command.push_back(std::to_string(id));
            command.push_back(nick);
        }
        const uint64_t first = held.front().first;
        commands_->command(std::move(command), [this, epoch, first](const RedisReply& reply) {
            SignalingState::Lock lock(state_);
            if (epoch == epoch_)
                restored(first, reply);
        });
    }
    commands_->command({"PING"}, [this, epoch](const RedisReply& reply) {
        SignalingState::Lock lock(state_);
        if (epoch == epoch_ && !reply.isError() && !stopped_)
            available_ = true;
    });
}

// A member that was alone here and now shares its room with one that waited elsewhere: the one that was
// waiting is told, as it would be of any newcomer (it offers); ours receives that offer.
void ClusterRooms::restored(uint64_t id, const RedisReply& reply) {
    if (!isString(element(reply, 0), "ok") || element(reply, 1).type != RedisReply::Type::String)
        return; // put back alone, or left out: its room was taken meanwhile, and it stays this server's
    const auto it = members_.find(id);
    const auto client = it == members_.end() ? nullptr : it->second.client.lock();
    Slot* other = client ? state_.otherSlot(*client) : nullptr;
    if (!other || other->taken())
        return;
    *other = Slot{remoteMember(reply, 1, id), element(reply, 3).text};
    other->member->peerJoined(client->nick);
}

void ClusterRooms::heartbeat() {
    if (!commands_->connected())
        return;
    uint64_t epoch;
    {
        SignalingState::Lock lock(state_);
        epoch = epoch_;
    }
    commands_->command({"SET", heartbeatKey(instance_), "1", "PX", std::to_string(settings_.instanceTimeoutMs), "GET"},
                       [this, epoch](const RedisReply& reply) {
                           if (reply.type != RedisReply::Type::Nil)
                               return;
                           // Our heartbeat had expired: the others may have freed our rooms. Start over.
                           SignalingState::Lock lock(state_);
                           if (epoch != epoch_ || !available_ || stopped_)
                               return;
                           available_ = false;
                           ++epoch_;
                           forgetRemotePeers();
                           resync();
                       });
    if (available())
        commands_->command({"EVALSHA", reapScript().sha1, "0", instance_, "others"});
}

void RemoteMember::deliver(std::string text) { rooms_.publish(instance_, ChannelMessage::Kind::Relay, id_, localId_, text); }

void RemoteMember::peerJoined(const std::string& nick) {
    rooms_.publish(instance_, ChannelMessage::Kind::Joined, id_, localId_, nick);
}

} // namespace murva
