// The instance's membership in Redis: connections, the name claim, heartbeats, recovery and the stop.
#include "cluster/cluster_node.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <random>
#include <stdexcept>
#include <thread>

#include "cluster/access_check.hpp"
#include "cluster/master_locator.hpp"
#include "cluster/redis_connection.hpp"
#include "cluster/redis_url.hpp"
#include "cluster/registry_scripts.hpp"

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

RedisEndpoint endpointFor(const ClusterSettings& settings) {
    RedisEndpoint endpoint = parseRedisUrl(settings.redis);
    if (!settings.redisPassword.empty())
        endpoint.password = settings.redisPassword;
    if (!settings.user.empty()) {
        if (!endpoint.username.empty() && endpoint.username != settings.user)
            throw std::invalid_argument("cluster.user \"" + settings.user + "\" and the user of cluster.redis (\"" +
                                        endpoint.username + "\") differ; name the user in one of them");
        endpoint.username = settings.user;
    }
    const ClusterTlsSettings& tls = settings.tls;
    if (!endpoint.tls && (!tls.caFile.empty() || !tls.certFile.empty() || !tls.keyFile.empty()))
        throw std::invalid_argument("cluster.tls is set but cluster.redis is not a rediss:// URL: the connection "
                                    "to Redis would not use TLS");
    return endpoint;
}

} // namespace

ClusterNode::ClusterNode(SignalingState& state, const ClusterSettings& settings)
    : state_(state), settings_(settings), instance_(settings.instance.empty() ? randomHex() : settings.instance),
      nonce_(randomHex()) {
    const RedisEndpoint endpoint = endpointFor(settings_);
    user_ = endpoint.username;
    RedisOptions options;
    // A Redis that stops answering (paused, cut off) counts as lost after half the instance timeout: an
    // unanswered PING is noticed two intervals after it was sent, which is at most three after the pause.
    options.livenessInterval = milliseconds(std::max<uint32_t>(1, settings_.instanceTimeoutMs / 8));
    // Joins wait for Redis and pairs are kept only for cluster.failover_wait_ms (seconds): Redis back is noticed
    // within half a second, not the connection's default two.
    options.maxBackoff = milliseconds(500);
    // SET ... GET, which the heartbeat needs, came with Redis 6.2.
    options.minimumMajor = 6;
    options.minimumMinor = 2;
    options.tls = {settings_.tls.caFile, settings_.tls.certFile, settings_.tls.keyFile};
    if (!settings_.sentinels.empty()) {
        std::vector<HostPort> sentinels;
        for (const auto& text : settings_.sentinels) {
            auto at = parseHostPort(text);
            if (!at)
                throw std::invalid_argument("not a sentinel address (host:port): " + text);
            sentinels.push_back(std::move(*at));
        }
        MasterLocator::Handlers handlers;
        // A failover that leaves the old master reachable (a manual one) would not end our connections to it;
        // after a crash, this takes them to the new master without waiting out their backoff.
        handlers.switched = [this](const HostPort& to) {
            commands_->serverMoved(to);
            subscriber_->serverMoved(to);
        };
        handlers.warn = [this](const std::string& line) { warn(line); };
        // Over TLS as Redis itself is (rediss://), with the same CA and client certificate.
        std::optional<RedisTlsFiles> sentinelTls;
        if (endpoint.tls)
            sentinelTls = options.tls;
        locator_ =
            std::make_unique<MasterLocator>(std::move(sentinels), settings_.masterName, settings_.sentinelPassword,
                                            std::move(sentinelTls), std::move(handlers));
        options.locate = [this](RedisOptions::Answer answer) { locator_->locate(std::move(answer)); };
    }
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
    subscriberHandlers.message = [this](std::string_view, std::string_view payload) { registry_->message(payload); };
    subscriberHandlers.error = error;
    subscriber_ = std::make_unique<RedisConnection>(endpoint, std::move(subscriberHandlers), options);
}

ClusterNode::~ClusterNode() {
    stop();
    // Their threads run the last callbacks (error replies), which use the members below: joined first.
    subscriber_.reset();
    commands_.reset();
}

void ClusterNode::start() {
    if (!registry_)
        throw std::logic_error("ClusterNode::start: no registry attached");
    if (locator_)
        locator_->start();
    subscriber_->subscribe(instanceChannel(instance_));
    subscriber_->start();
    commands_->start();
    // The attempt ends within the connect timeout; a little more lets its end be seen.
    const auto connectBound = Clock::now() + RedisOptions{}.connectTimeout + milliseconds(500);
    while (!commands_->connected() && !commands_->tried() && Clock::now() < connectBound)
        std::this_thread::sleep_for(milliseconds(5));
    checkAccess();
    claimName();
    commands_->every(milliseconds(settings_.heartbeatMs), [this] { heartbeat(); });
}

// Two instances with one name would share a channel and member numbers, and so each other's rooms. A key that
// exists is a crashed predecessor's heartbeat, gone within the timeout, or a live instance's, kept fresh.
void ClusterNode::claimName() {
    const std::string key = heartbeatKey(instance_);
    const auto timeout = milliseconds(settings_.instanceTimeoutMs);
    const auto deadline = Clock::now() + timeout + milliseconds(settings_.heartbeatMs);
    // Without Redis now the name cannot be checked; the first connection's recovery takes it.
    while (commands_->connected()) {
        auto answer = std::make_shared<std::promise<RedisReply>>();
        auto reply = answer->get_future();
        commands_->command({"SET", key, nonce_, "NX", "PX", std::to_string(timeout.count())},
                           [answer](const RedisReply& r) { answer->set_value(r); });
        if (reply.wait_for(timeout) != std::future_status::ready)
            break;
        const RedisReply got = reply.get();
        if (got.type != RedisReply::Type::Nil)
            break; // OK, or an error: the connection is unusable, and its recovery writes the key
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
        recover();
}

// A Redis that cannot be reached now is waited for, as after any loss; one this instance may never use (a TLS
// certificate not trusted, a user without a permission the registry needs) ends the start instead.
void ClusterNode::checkAccess() {
    if (!commands_->connected()) {
        if (const std::string failure = commands_->refusal(); !failure.empty())
            throw std::runtime_error("cannot use Redis: " + failure);
        return;
    }
    const auto call = [this](std::vector<std::string> args) {
        auto answer = std::make_shared<std::promise<RedisReply>>();
        auto reply = answer->get_future();
        commands_->command(std::move(args), [answer](const RedisReply& r) { answer->set_value(r); });
        if (reply.wait_for(RedisOptions{}.connectTimeout) == std::future_status::ready)
            return reply.get();
        RedisReply none;
        none.type = RedisReply::Type::Error;
        none.text = "no reply";
        return none;
    };
    if (const std::string missing = missingAccess(call, user_, instance_); !missing.empty())
        throw std::runtime_error("cannot use Redis: " + missing);
}

void ClusterNode::stop() {
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
        registry_->reapSelf(answered);
        commands_->command({"DEL", heartbeatKey(instance_)}, answered);
        done->get_future().wait_for(std::chrono::seconds(1));
    }
    closing_ = true;
    subscriber_->stop();
    commands_->stop();
    if (locator_)
        locator_->close(); // its last answers go to the stopped connections, which still exist
}

void ClusterNode::command(std::vector<std::string> args, Callback done) {
    commands_->command(std::move(args), std::move(done));
}

void ClusterNode::runScript(const RegistryScript& script, std::vector<std::string> args, Callback done) {
    auto first = scriptCommand(script, false, args);
    commands_->command(std::move(first), [this, &script, args = std::move(args),
                                          done = std::move(done)](const RedisReply& reply) mutable {
        if (!scriptMissing(reply) || closing_) {
            if (done)
                done(reply);
            return;
        }
        // EVAL loads it again as it runs it; the ones after this reply find it there.
        commands_->command(scriptCommand(script, true, std::move(args)), std::move(done));
    });
}

void ClusterNode::after(milliseconds delay, std::function<void()> fn) { commands_->post(std::move(fn), delay); }

void ClusterNode::warn(const std::string& line) const {
    const std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr); // one write keeps the line whole
}

void ClusterNode::connectionUp(bool commands) {
    SignalingState::Lock lock(state_);
    (commands ? commandsUp_ : subscriberUp_) = true;
    if (commandsUp_ && subscriberUp_ && !stopped_)
        recover();
}

void ClusterNode::connectionLost(bool commands) {
    SignalingState::Lock lock(state_);
    (commands ? commandsUp_ : subscriberUp_) = false;
    lose();
}

void ClusterNode::lose() {
    available_ = false;
    ++epoch_;
    registry_->lost();
}

void ClusterNode::recover() {
    if (!named_)
        return; // claimName recovers when it is done
    const uint64_t epoch = epoch_;
    commands_->command({"SET", heartbeatKey(instance_), nonce_, "PX", std::to_string(settings_.instanceTimeoutMs)},
                       [this](const RedisReply& reply) {
                           if (reply.isError())
                               heartbeatRefused(reply.text);
                       });
    registry_->restore(epoch);
    commands_->command({"PING"}, [this, epoch](const RedisReply& reply) {
        SignalingState::Lock lock(state_);
        if (epoch != epoch_ || reply.isError() || stopped_)
            return;
        available_ = true;
        registry_->regained();
    });
}

void ClusterNode::heartbeat() {
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
                           // Our heartbeat had expired: the others may have freed what we hold. Start over.
                           SignalingState::Lock lock(state_);
                           if (epoch != epoch_ || !available_ || stopped_)
                               return;
                           lose();
                           recover();
                       });
    if (available())
        registry_->reapOthers();
}

// Redis answered the heartbeat with an error (too old for SET ... GET, read-only after a failover, out of
// memory): the key may expire and the others free our rooms while we serve on, so it counts as a loss.
void ClusterNode::heartbeatRefused(const std::string& error) {
    if (!commands_->connected())
        return; // the error is the connection's loss, handled as such already
    {
        SignalingState::Lock lock(state_);
        available_ = false;
        ++epoch_; // what was asked on this connection is not believed, the recovery's readiness included
    }
    commands_->drop("the heartbeat was refused: " + error);
}

} // namespace murva
