// The life of the server process after start-up: signals (stop, reload), the drain and systemd's notices.
#pragma once

#include <functional>
#include <string>

#include "app/server.hpp"
#include "app/systemd_notify.hpp"

namespace murva {

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread; call before any thread starts, so every thread
// inherits the mask and the signals are only ever taken by serveUntilStopped.
void blockServerSignals();

// Tells systemd the server is ready, feeds its watchdog from an I/O thread, reloads `configPath` on SIGHUP
// (only the TLS pair when it is empty),
// and on SIGTERM or SIGINT drains: readiness 503, no new connections, open ones may finish for the drain
// timeout (a second signal cuts it short), then the rest are closed with 1001. Returns once they are gone.
void serveUntilStopped(Server& server, const std::string& configPath = {});

// The drain's first step: readiness goes to 503 and new connections are refused, and only then is `announce`
// called (STOPPING=1), so a balancer or manager that acts on the notice already finds the server draining.
void beginDrain(
    Server& server, const std::function<void()>& announce = [] { notifyStopping(); });

} // namespace murva
