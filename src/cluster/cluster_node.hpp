// This instance as a live member of the service in Redis: its two connections, its name and heartbeat, the
// reaping of instances that died, recovery after Redis comes back, and the clean stop. Shared registries (the
// rooms) are built on it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.hpp"
#include "signaling/state.hpp"

namespace murva {

class MasterLocator;
class RedisConnection;
struct RedisReply;
struct RegistryScript;

class ClusterNode {
public:
    using Callback = std::function<void(const RedisReply&)>;

    // A registry kept in Redis on behalf of this instance, told of the node's turns. Those marked "locked" run
    // under the state's lock, which guards the node's bookkeeping too (a reply is judged against epoch()).
    class Registry {
    public:
        virtual ~Registry() = default;
        // Locked. What was learnt from Redis is no longer believed (a loss; epoch() has moved on already).
        virtual void lost() = 0;
        // Locked. Redis answers again and the heartbeat is written: what this instance holds is put back.
        // Replies to commands queued here count for `epoch` only.
        virtual void restore(uint64_t epoch) = 0;
        // Locked. The restore's replies have come and the node is available again.
        virtual void regained() = 0;
        // On a heartbeat while available: frees what instances whose heartbeat is gone held.
        virtual void reapOthers() = 0;
        // Frees everything this instance holds; `done` runs with the reply. Before a restore and at the stop.
        virtual void reapSelf(Callback done) = 0;
        // A message on this instance's channel, on the subscriber's thread.
        virtual void message(std::string_view payload) = 0;
    };

    // Throws std::invalid_argument for a Redis URL, TLS files or a sentinel address it cannot use. `state` must
    // outlive it. With sentinels, the URL gives the database and credentials and the sentinels the master's address.
    ClusterNode(SignalingState& state, const ClusterSettings& settings);
    ~ClusterNode(); // stop(), then joins the connections' threads: no registry call runs after it returns

    ClusterNode(const ClusterNode&) = delete;
    ClusterNode& operator=(const ClusterNode&) = delete;

    // The registry the node serves; once, before start(). It must outlive the node's threads (the node's
    // destruction joins them).
    void attach(Registry& registry) { registry_ = &registry; }

    // Connects (and keeps reconnecting); unavailable until Redis answers. Throws std::runtime_error when the
    // first connection fails its TLS handshake or, when Redis answers at once, when its user may not run all the
    // instance needs (named). Then, when the instance's name is held, waits up to instance_timeout_ms for it to
    // be given up (a crashed predecessor's heartbeat expiring); throws std::runtime_error when it is still held.
    void start();
    // Gives back what this instance still holds in Redis (briefly waiting for it), then disconnects. Call it
    // after the last connection has closed.
    void stop();

    const std::string& instance() const { return instance_; }
    // Whether Redis answers and what this instance holds is in it.
    bool available() const { return available_.load(std::memory_order_acquire); }
    // Locked. Counts losses: answers to what was asked before one are not believed.
    uint64_t epoch() const { return epoch_; }

    // Never block, never run `done` inline; see RedisConnection::command.
    void command(std::vector<std::string> args, Callback done = {});
    // EVALSHA, and EVAL when Redis has lost the script (a flushed cache, a replica promoted without it).
    void runScript(const RegistryScript& script, std::vector<std::string> args, Callback done = {});
    // Runs `fn` on the command connection's thread after `delay`, whether Redis answers or not; never after stop().
    void after(std::chrono::milliseconds delay, std::function<void()> fn);

private:
    void checkAccess(); // start(): throws when Redis refused TLS or the user lacks a permission the registry needs
    void claimName();   // start(): takes the heartbeat key only where it does not exist
    void warn(const std::string& line) const; // one line on standard error

    // Each runs under the state's lock.
    void connectionUp(bool commands);
    void connectionLost(bool commands);
    void lose();    // unavailable, the epoch moves on, the registry forgets what it learnt
    void recover(); // after a loss: the heartbeat written, the registry restored, then available again

    void heartbeat();                                // on the command connection's thread
    void heartbeatRefused(const std::string& error); // likewise, without the state's lock

    SignalingState& state_;
    const ClusterSettings settings_;
    const std::string instance_;
    const std::string nonce_; // the heartbeat's value: this process's, not another's with the same name
    std::string user_;        // the Redis user logged in as; empty: the default one
    Registry* registry_ = nullptr;
    std::unique_ptr<MasterLocator> locator_; // with sentinels; outlives the connections that ask it
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
    uint64_t epoch_ = 0;
};

} // namespace murva
