// Signals, the drain, and the systemd notices and watchdog of a running server.
#include "app/stop_sequence.hpp"

#include <condition_variable>
#include <csignal>
#include <ctime>
#include <iostream>
#include <mutex>
#include <thread>

#include "app/reload.hpp"
#include "app/systemd_notify.hpp"

namespace murva {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Closed connections finish their close handshake within this; stop() ends whatever is left after it.
constexpr auto closeGrace = 3s;
constexpr auto pollInterval = 20ms;

sigset_t serverSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

// The next signal within `timeout`, or 0.
int waitSignal(std::chrono::milliseconds timeout) {
    const sigset_t set = serverSignals();
    const timespec wait{static_cast<time_t>(timeout.count() / 1000),
                        static_cast<long>(timeout.count() % 1000) * 1000000};
    const int signal = sigtimedwait(&set, nullptr, &wait);
    return signal > 0 ? signal : 0;
}

// Feeds systemd's watchdog from one of the transport's I/O threads: a wedged server stops feeding it.
class Watchdog {
public:
    explicit Watchdog(Server& server) {
        const auto interval = watchdogInterval();
        if (!interval)
            return;
        thread_ = std::thread([this, &server, interval = *interval] {
            std::unique_lock lock(mutex_);
            while (!wake_.wait_for(lock, interval, [this] { return stopping_; }))
                server.transport().post([] { notifyWatchdog(); });
        });
    }
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

// The drain is told only in JSON (as the stop is, by runServer): the text console has always been silent
// about them.
void tellDrain(Server& server, const std::string& msg) {
    if (server.console().style().json)
        server.console().event(Severity::Info, "drain", msg);
}

// Waits until every connection has gone, `until` passes or a stop signal comes; SIGHUP still reloads.
void waitForConnections(Server& server, Clock::time_point until, const std::string& configPath) {
    while (server.openConnections() > 0 && Clock::now() < until) {
        const int signal = waitSignal(pollInterval);
        if (signal == SIGHUP)
            reloadConfiguration(server, configPath);
        else if (signal != 0)
            return;
    }
}

} // namespace

void blockServerSignals() {
    const sigset_t set = serverSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void beginDrain(Server& server, const std::function<void()>& announce) {
    server.startDrain();
    announce();
}

void serveUntilStopped(Server& server, const std::string& configPath) {
    notifyReady();
    Watchdog watchdog(server);
    for (;;) {
        const int signal = waitSignal(1h);
        if (signal == SIGHUP)
            reloadConfiguration(server, configPath);
        else if (signal != 0)
            break;
    }

    beginDrain(server); // readiness 503 and the port closed before STOPPING=1
    const auto drainTimeout = std::chrono::milliseconds(server.settings()->drainTimeoutMs);
    server.console().flushRefusals();
    tellDrain(server, "Draining: no new connections; " + std::to_string(server.openConnections()) +
                          " open may finish within " + std::to_string(drainTimeout.count()) + " ms");
    waitForConnections(server, Clock::now() + drainTimeout, configPath);
    server.closeRemaining();
    waitForConnections(server, Clock::now() + closeGrace, configPath);
    server.console().flushRefusals();
}

} // namespace murva
