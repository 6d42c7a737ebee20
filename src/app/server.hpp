// One signaling server: its settings, its state, the client lifecycle and the transport, wired together, plus
// the admin listener and the stop sequence's steps.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "app/console_lines.hpp"
#include "cluster/cluster_rooms.hpp"
#include "config/settings.hpp"
#include "signaling/signaling_service.hpp"
#include "signaling/state.hpp"
#include "transport/rtc.hpp"

namespace murva {

// The transport's configuration for these settings (only what is set differs from the transport's defaults).
rtc::WebSocketServerConfiguration makeServerConfiguration(const ServerSettings& settings);

class Server {
public:
    // Listens at once (throws like rtc::WebSocketServer when it cannot, or std::invalid_argument for settings
    // that cannot be served) and starts admitting clients. `transport` is the configuration the settings
    // make, possibly adjusted (tests pick port 0, say). The admin listener, when configured, listens too.
    Server(const ServerSettings& settings, const rtc::WebSocketServerConfiguration& transport);
    explicit Server(const ServerSettings& settings) : Server(settings, makeServerConfiguration(settings)) {}
    ~Server(); // stops the transports first: every connection's close is handled while the state still exists

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    uint16_t port() const { return transport_->port(); }
    uint16_t adminPort() const { return admin_ ? admin_->port() : 0; } // 0: no admin listener
    // The settings in force: a snapshot that a reload replaces whole, never changes in place.
    std::shared_ptr<const ServerSettings> settings() const;
    ConsoleReporter& console() { return console_; }

    // Applies `next` to what comes next: new connections and joins, the log, the console's style. Keys that
    // need a restart must already hold their running values. Throws std::invalid_argument, changing nothing,
    // when they cannot be served (a trusted_proxies entry that is no address).
    void applySettings(const ServerSettings& next);
    // Counts a reload for /metrics.
    void countReload(bool ok);
    SignalingState& state() { return state_; }
    rtc::WebSocketServer& transport() { return *transport_; }
    SignalingService& signaling() { return service_; }

    // The stop sequence: readiness goes to 503 and new connections are refused while open ones go on; then
    // every remaining connection is closed with 1001 after what was queued for it.
    void startDrain();
    bool draining() const { return draining_.load(); }
    // Why /readyz answers 503: "draining", "redis unreachable"; empty while ready.
    std::string_view notReady() const;
    ClusterRooms* cluster() { return cluster_.get(); } // null: rooms are this server's alone
    void closeRemaining() { transport_->closeAll(goingAway); }
    std::size_t openConnections() const { return transport_->connectionCount(); }

    std::string metrics();

private:
    static constexpr int goingAway = 1001;

    std::optional<rtc::HttpResponse> answer(const rtc::HttpRequest& request);      // the main port
    std::optional<rtc::HttpResponse> answerAdmin(const rtc::HttpRequest& request); // the admin port
    std::optional<rtc::HttpResponse> vetoUpgrade(const rtc::HttpRequest& request);

    mutable std::mutex settingsMutex_;
    std::shared_ptr<const ServerSettings> settings_;
    ConsoleReporter console_;
    std::atomic<uint64_t> reloadsOk_{0};
    std::atomic<uint64_t> reloadsFailed_{0};
    std::atomic<double> lastReloadSuccess_;
    SignalingState state_;
    SignalingService service_;
    std::atomic<bool> draining_{false};
    std::unique_ptr<ClusterRooms> cluster_;
    std::unique_ptr<ClusterNode> clusterNode_;        // stopped after the transports, so every leave reaches Redis;
                                                      // destroyed before the rooms its threads call
    std::unique_ptr<rtc::WebSocketServer> transport_; // after what its callbacks use: destroyed first
    std::unique_ptr<rtc::WebSocketServer> admin_;
};

} // namespace murva
