// Where the Redis master is, asked of the sentinels that watch it, and the news when they move it elsewhere.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cluster/redis_connection.hpp"
#include "config/host_port.hpp"

namespace murva {

class MasterLocator {
public:
    struct Handlers {
        // The sentinels moved the master (a failover completed): its new address. On a sentinel connection's
        // thread, once per move however many sentinels announce it.
        std::function<void(const HostPort& to)> switched;
        // One line worth an operator's eye (a sentinel lost or refusing us). Must not throw.
        std::function<void(const std::string& line)> warn;
    };

    // Connections to every sentinel, idle until start(). `password` empty: no AUTH; `tls` set: over TLS, as the
    // connections to Redis itself.
    MasterLocator(std::vector<HostPort> sentinels, std::string masterName, std::string password,
                  std::optional<RedisTlsFiles> tls, Handlers handlers);
    ~MasterLocator(); // close()

    MasterLocator(const MasterLocator&) = delete;
    MasterLocator& operator=(const MasterLocator&) = delete;

    // Connects to the sentinels and returns once one is ready or all have been tried (bounded by the connect
    // timeout), so the first locate() has someone to ask.
    void start();
    // Stops the sentinel connections and waits for their threads; locate() answers "stopped" from then on.
    void close();

    // Asks the sentinels in turn, starting with a different one each time (so one with a stale view cannot hold
    // the answer), until one names the master; `answer` runs once, on a sentinel connection's thread (inline
    // only after close()), with the address or with why none was had.
    void locate(RedisOptions::Answer answer);

private:
    struct Sentinel {
        HostPort at;
        std::unique_ptr<RedisConnection> queries;       // SENTINEL get-master-addr-by-name
        std::unique_ptr<RedisConnection> announcements; // subscribed to +switch-master
    };
    struct Request;
    void ask(const std::shared_ptr<Request>& request);

    const std::string masterName_;
    const Handlers handlers_;
    std::vector<Sentinel> sentinels_;
    std::mutex mutex_; // guards the three below; held while a query is queued, never while a connection ends
    bool closed_ = false;
    std::size_t next_ = 0;              // the sentinel the next locate() asks first
    std::optional<HostPort> announced_; // the last move announced
};

} // namespace murva
