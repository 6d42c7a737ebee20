// What the server and its sessions share: the session settings, the handler slots, the session registry and
// the counters.
// Sessions hold it by shared_ptr, so a session that outlives ServerCore (destroyed with its io_context) is safe.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "transport/detail/connection.hpp"
#include "transport/detail/counters.hpp"
#include "transport/detail/pending_limits.hpp"
#include "transport/http.hpp"

namespace rtc {
class WebSocket;
}

namespace rtc::detail {

struct SessionSettings {
    std::chrono::milliseconds handshakeLimit{0}; // TLS + upgrade; 0: no limit
    std::chrono::milliseconds closeDeadline{0};  // a close that has not finished by then is forced
    std::chrono::milliseconds idleTimeout{0};    // 0: no keepalive
    std::size_t maxMessageSize = 0;
    std::size_t maxBuffered = 0;
    bool httpOnly = false;      // no upgrades: every request is an HTTP request
    bool proxyProtocol = false; // every connection opens with a PROXY header
    std::function<bool(const std::string&)> trustedProxy;
    std::function<std::string(const std::string&, const std::vector<std::string>&)> clientKey;
    std::function<void(std::string_view, const std::string&, const std::vector<std::string>&)> onRefused;
};

using ClientCallback = std::function<void(std::shared_ptr<WebSocket>)>;
using HttpCallback = std::function<std::optional<HttpResponse>(const HttpRequest&)>;

// A connection the server can still reach (its opening, then its session), to close it when the server stops.
class StoppableSession {
public:
    virtual ~StoppableSession() = default;
    virtual void postForceClose() = 0;
    virtual void postIdleTick() = 0; // one keepalive period has passed
    // An open connection closes gracefully with `code`; one still in its handshake is dropped.
    virtual void postShutdownClose(uint16_t code) = 0;
};

class SessionRegistry {
public:
    void add(StoppableSession* key, std::weak_ptr<StoppableSession> session) {
        std::lock_guard lock(mutex_);
        sessions_.emplace(key, std::move(session));
    }
    void remove(StoppableSession* key) {
        std::lock_guard lock(mutex_);
        sessions_.erase(key);
    }
    std::vector<std::shared_ptr<StoppableSession>> snapshot() {
        std::vector<std::shared_ptr<StoppableSession>> live;
        std::lock_guard lock(mutex_);
        live.reserve(sessions_.size());
        for (auto& [key, weak] : sessions_)
            if (auto s = weak.lock())
                live.push_back(std::move(s));
        return live;
    }

private:
    std::mutex mutex_;
    std::unordered_map<StoppableSession*, std::weak_ptr<StoppableSession>> sessions_;
};

struct Shared {
    SessionSettings settings;
    SessionRegistry registry;
    CounterSet counters;
    PendingLimits pending;
    // The caps on connections not upgraded yet (setPendingCaps may change them while serving); 0: no limit.
    std::atomic<std::size_t> maxPendingPerClient{0}; // per client key
    std::atomic<std::size_t> maxPending{0};          // in all
    std::atomic<bool> stopping{false};
    std::atomic<bool> draining{false};    // closeAll: no handshake completes any more
    std::atomic<std::size_t> sessions{0}; // alive, in any phase

    std::mutex clientMutex; // guards the three slots
    std::shared_ptr<const ClientCallback> clientCallback;
    std::shared_ptr<const HttpCallback> httpCallback;
    std::shared_ptr<const HttpCallback> upgradeCallback;

    std::shared_ptr<const ClientCallback> clientHandler() {
        std::lock_guard lock(clientMutex);
        return clientCallback;
    }
    std::shared_ptr<const HttpCallback> httpHandler() {
        std::lock_guard lock(clientMutex);
        return httpCallback;
    }
    std::shared_ptr<const HttpCallback> upgradeHandler() {
        std::lock_guard lock(clientMutex);
        return upgradeCallback;
    }
};

} // namespace rtc::detail
