// The /metrics page: the server's state, its signaling and transport counts and the process, as Prometheus text.
#pragma once

#include <string>

#include "signaling/state.hpp"
#include "transport/counters.hpp"

namespace murva {

std::string renderMetrics(SignalingState& state, const rtc::TransportCounters& transport);

} // namespace murva
