// The /metrics page: the server's state, its signaling and transport counts and the process, as Prometheus text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "signaling/state.hpp"
#include "transport/counters.hpp"

namespace murva {

// The server's own figures beside the state's and the transport's counts.
struct ServerFigures {
    uint64_t reloadsOk = 0;
    uint64_t reloadsFailed = 0;
    double lastReloadSuccess = 0;             // seconds since 1970; the start counts as the first success
    std::optional<int64_t> certificateExpiry; // seconds since 1970; empty without TLS
    bool draining = false;
    std::optional<uint64_t> authKeys; // keys join tokens are checked with; empty without "auth"
};

std::string renderMetrics(SignalingState& state, const rtc::TransportCounters& transport,
                          const ServerFigures& server = {});

} // namespace murva
