// The shared room registry's client side: claims and leaves, the channel, heartbeats and recovery after a loss.
#include "cluster/cluster_rooms.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <map>
#include <random>
#include <stdexcept>
#include <thread>

#include "cluster/redis_connection.hpp"
#include "cluster/redis_url.hpp"
#include "cluster/registry_scripts.hpp"
#include "cluster/remote_member.hpp"
#include "signaling/json_check.hpp"
#include "signaling/protocol.hpp"

namespace murva {

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

std::string randomHex() {
    std::random_device random;
    std::uniform_int_distribution<uint64_t> any;
    static constexpr char hex[] = "0123456789abcdef";
    std::string name;
    for (uint64_t bits = any(random), i = 0; i < 16; ++i, bits >>= 4)
        name += hex[bits & 15];
    return name;
}

// A nick that reached us through Redis can be sent on only when it is what a join would have kept.
bool sendableNick(std::string_view nick) {
    if (nick.size() > maxNickBytes)
        return false;
    try {
        dumpCompact(nlohmann::json(std::string(nick)));
        return true;
    } catch (const nlohmann::json::exception&) {
        return false; // not UTF-8
    }
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
      instance_(settings.instance.empty() ? randomHex() : settings.instance), nonce_(randomHex()) {
    const RedisEndpoint endpoint = endpointFor(settings_);
    RedisOptions options;
    // A Redis that stops answering (paused, cut off) counts as lost after half the instance timeout: an
    // unanswered PING is noticed two intervals after it was sent, which is at most three after the pause.
    options.livenessInterval = milliseconds(std::max<uint32_t>(1, settings_.instanceTimeoutMs / 8));
    // SET ... GET, which the heartbeat needs, came with Redis 6.2.
    options.minimumMajor = 6;
    options.minimumMinor = 2;
    const auto error = [this](const std::string& what) { warn("Redis: " + what); };
    RedisConnection::Handlers commandHandlers;
    commandHandlers.connected = [this] { connectionUp(true); };
    commandHandlers.lost = [this](const std::string& why) {
        warn("Redis unavailable: " + why);
        connectionLost(true);
    };
    commandHandlers.error = error;
    commands_ = std::make_unique<RedisConnection>(endpoint, std::move(commandHandlers), options);

    RedisConnection::Handlers subscriberHandlers;
    subscriberHandlers.connected = [this] { connectionUp(false); };
    subscriberHandlers.lost = [this](const std::string&) { connectionLost(false); }; // the other one says why
    subscriberHandlers.message = [this](std::string_view, std::string_view payload) { handleChannelMessage(payload); };
    subscriberHandlers.error = error;
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
    claimName();
    commands_->every(milliseconds(settings_.heartbeatMs), [this] { heartbeat(); });
}

// Two instances with one name would share a channel and member numbers, and so each other's rooms. A key that
// exists is a crashed predecessor's heartbeat, gone within the timeout, or a live instance's, kept fresh.
void ClusterRooms::claimName() {
    const auto connectBound = Clock::now() + RedisOptions{}.connectTimeout;
    while (!commands_->connected() && !commands_->tried() && Clock::now() < connectBound)
        std::this_thread::sleep_for(milliseconds(5));
    const std::string key = heartbeatKey(instance_);
    const auto timeout = milliseconds(settings_.instanceTimeoutMs);
    const auto deadline = Clock::now() + timeout + milliseconds(settings_.heartbeatMs);
    // Without Redis now the name cannot be checked; the first connection's resync takes it.
    while (commands_->connected()) {
        auto answer = std::make_shared<std::promise<RedisReply>>();
        auto reply = answer->get_future();
        commands_->command({"SET", key, nonce_, "NX", "PX", std::to_string(timeout.count())},
                           [answer](const RedisReply& r) { answer->set_value(r); });
        if (reply.wait_for(timeout) != std::future_status::ready)
            break;
        const RedisReply got = reply.get();
        if (got.type != RedisReply::Type::Nil)
            break; // OK, or an error: the connection is unusable, and its resync writes the key
        if (Clock::now() >= deadline)
            throw std::runtime_error("the instance name \"" + instance_ + "\" is in use: Redis key " + key +
                                     " was still held after waiting " + std::to_string(timeout.count()) +
                                     " ms; give every instance its own cluster.instance");
        std::this_thread::sleep_for(std::min(milliseconds(settings_.heartbeatMs), milliseconds(100)));
    }
    held_ = true;
    SignalingState::Lock lock(state_);
    named_ = true;
    if (commandsUp_ && subscriberUp_ && !stopped_)
        resync();
}

void ClusterRooms::stop() {
    if (stopped_.exchange(true))
        return;
    available_ = false;
    if (held_ && commands_->connected()) {
        // Whatever is still ours goes, and the heartbeat with it: the others need not wait for it to expire.
        auto done = std::make_shared<std::promise<void>>();
        auto left = std::make_shared<std::atomic<int>>(2);
        const auto answered = [done, left](const RedisReply&) {
            if (--*left == 0)
                done->set_value();
        };
        runScript(reapScript(), {instance_, "self"}, answered);
        commands_->command({"DEL", heartbeatKey(instance_)}, answered);
        done->get_future().wait_for(std::chrono::seconds(1));
    }
    closing_ = true;
    subscriber_->stop();
    commands_->stop();
}

void ClusterRooms::runScript(const RegistryScript& script, std::vector<std::string> args,
                             std::function<void(const RedisReply&)> done) {
    std::vector<std::string> command{"EVALSHA", script.sha1, "0"};
    command.insert(command.end(), args.begin(), args.end());
    commands_->command(std::move(command), [this, &script, args = std::move(args),
                                            done = std::move(done)](const RedisReply& reply) mutable {
        if (!reply.isError() || reply.text.rfind("NOSCRIPT", 0) != 0 || closing_) {
            if (done)
                done(reply);
            return;
        }
        // EVAL loads it again as it runs it; the ones after this reply find it there.
        std::vector<std::string> again{"EVAL", script.text, "0"};
        again.insert(again.end(), std::make_move_iterator(args.begin()), std::make_move_iterator(args.end()));
        commands_->command(std::move(again), std::move(done));
    });
}

void ClusterRooms::warn(const std::string& line) const {
    const std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr); // one write keeps the line whole
}

void ClusterRooms::claim(const std::shared_ptr<Client>& client, const std::string& code, const std::string& nick,
                         std::function<void(const SharedClaim&)> done) {
    const uint64_t id = ++nextId_;
    client->sharedId = id;
    members_[id] = LocalMember{client, code, false, {}};
    runScript(joinScript(), {code, instance_, std::to_string(id), nick, std::to_string(maxRooms_)},
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
            runScript(leaveScript(), {members_[id].room, instance_, std::to_string(id)});
    } else if (isString(outcome, "full")) {
        claim.outcome = ClaimOutcome::RoomFull;
    } else if (isString(outcome, "limit")) {
        claim.outcome = ClaimOutcome::RoomLimitReached;
    } else if (isString(outcome, "joined")) {
        claim.outcome = ClaimOutcome::Joined;
        if (const RedisReply& peer = element(reply, 1); peer.type == RedisReply::Type::String) {
            if (peer.text == instance_)
                claim.localPeerId = idOf(element(reply, 2));
            else
                claim.remotePeer = remoteMember(reply, 1, id, members_[id].room);
            claim.remotePeerNick = element(reply, 3).text;
            if (!sendableNick(claim.remotePeerNick)) { // written to Redis by something other than an instance
                bump(state_.counters().channelMalformed);
                claim.remotePeerNick.clear();
            }
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
    runScript(leaveScript(), {it->second.room, instance_, std::to_string(it->first)});
    members_.erase(it);
}

void ClusterRooms::publish(const std::string& instance, ChannelMessage::Kind kind, uint64_t to, uint64_t from,
                           const std::string& room, std::string_view body) {
    commands_->command(
        {"PUBLISH", instanceChannel(instance), encodeChannelMessage(kind, to, instance_, from, room, body)});
}

std::shared_ptr<Member> ClusterRooms::remoteMember(const RedisReply& reply, std::size_t first, uint64_t localId,
                                                   const std::string& room) {
    return std::make_shared<RemoteMember>(*this, element(reply, first).text, idOf(element(reply, first + 1)), localId,
                                          room);
}

void ClusterRooms::handleChannelMessage(std::string_view payload) {
    const auto message = decodeChannelMessage(payload);
    if (!message)
        return bump(state_.counters().channelMalformed);
    SignalingState::Lock lock(state_);
    const auto it = members_.find(message->to);
    if (it == members_.end())
        return; // left meanwhile; its leave tells the sender's side
    if (it->second.placed)
        return apply(it->second, *message);
    if (it->second.backlog.size() < maxBacklog)
        it->second.backlog.emplace_back(payload);
}

// What does not fit the member is dropped: a message about another room (another process using this instance's
// name and channel), one from anyone but its partner, a nick or a frame no instance would have sent.
void ClusterRooms::apply(LocalMember& member, const ChannelMessage& message) {
    auto& counters = state_.counters();
    const auto client = member.client.lock();
    Slot* other = client ? state_.otherSlot(*client) : nullptr;
    if (!other)
        return;
    if (message.room != member.room)
        return bump(counters.channelMisdirected);
    const auto* remote = other->taken() ? dynamic_cast<const RemoteMember*>(other->member.get()) : nullptr;
    const bool fromPeer = remote && remote->is(message.fromInstance, message.fromId);
    try {
        switch (message.kind) {
        case ChannelMessage::Kind::Relay:
            if (!fromPeer)
                return bump(counters.channelMisdirected);
            if (!isValidJson(message.body))
                return bump(counters.channelMalformed);
            client->deliver(std::string(message.body));
            break;
        case ChannelMessage::Kind::Joined:
            if (other->taken())
                return; // its partner's leave has not reached us yet, or a late repeat
            if (!sendableNick(message.body))
                return bump(counters.channelMalformed);
            *other = Slot{std::make_shared<RemoteMember>(*this, std::string(message.fromInstance), message.fromId,
                                                         message.to, member.room),
                          std::string(message.body)};
            client->peerJoined(other->nick);
            break;
        case ChannelMessage::Kind::Left:
            if (!fromPeer)
                return bump(counters.channelMisdirected);
            *other = Slot{};
            client->peerLeft();
            break;
        }
    } catch (const std::exception&) {
        bump(counters.channelMalformed); // it could not be passed on (out of memory, say): dropped like one
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
    if (!named_)
        return; // claimName resyncs when it is done
    const uint64_t epoch = epoch_;
    for (const RegistryScript* script : {&joinScript(), &leaveScript(), &reapScript(), &restoreScript()})
        commands_->command({"SCRIPT", "LOAD", script->text});
    commands_->command({"SET", heartbeatKey(instance_), nonce_, "PX", std::to_string(settings_.instanceTimeoutMs)},
                       [this](const RedisReply& reply) {
                           if (reply.isError())
                               heartbeatRefused(reply.text);
                       });
    // Whatever Redis still holds of ours is stale: partners elsewhere are told, as after our death.
    runScript(reapScript(), {instance_, "self"});

    std::map<std::string, std::vector<std::pair<uint64_t, std::string>>> rooms; // code -> (id, nick)
    for (const auto& [id, member] : members_)
        if (const auto client = member.client.lock(); client && member.placed)
            rooms[member.room].emplace_back(id, client->nick);
    for (const auto& [code, held] : rooms) {
        std::vector<std::string> args{code, instance_, std::to_string(held.size())};
        for (const auto& [id, nick] : held) {
            args.push_back(std::to_string(id));
            args.push_back(nick);
        }
        const uint64_t first = held.front().first;
        runScript(restoreScript(), std::move(args), [this, epoch, first](const RedisReply& reply) {
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
    *other = Slot{remoteMember(reply, 1, id, it->second.room), element(reply, 3).text};
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
    const std::string key = heartbeatKey(instance_);
    commands_->command({"SET", key, nonce_, "PX", std::to_string(settings_.instanceTimeoutMs), "GET"},
                       [this, epoch, key](const RedisReply& reply) {
                           if (reply.isError())
                               return heartbeatRefused(reply.text);
                           if (reply.type == RedisReply::Type::String && reply.text != nonce_ &&
                               !twinReported_.exchange(true))
                               warn("Redis key " + key + " is written by another process too: give every " +
                                    "instance its own cluster.instance");
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
        runScript(reapScript(), {instance_, "others"});
}

// Redis answered the heartbeat with an error (too old for SET ... GET, read-only after a failover, out of
// memory): the key may expire and the others free our rooms while we serve on, so it counts as a loss.
void ClusterRooms::heartbeatRefused(const std::string& error) {
    if (!commands_->connected())
        return; // the error is the connection's loss, handled as such already
    {
        SignalingState::Lock lock(state_);
        available_ = false;
        ++epoch_; // what was asked on this connection is not believed, the resync's readiness included
    }
    commands_->drop("the heartbeat was refused: " + error);
}

void RemoteMember::deliver(std::string text) {
    rooms_.publish(instance_, ChannelMessage::Kind::Relay, id_, localId_, room_, text);
}

void RemoteMember::peerJoined(const std::string& nick) {
    rooms_.publish(instance_, ChannelMessage::Kind::Joined, id_, localId_, room_, nick);
}

} // namespace murva
