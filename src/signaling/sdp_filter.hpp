// The relay filter: what keeps TURN relay candidates out of forwarded candidates and session descriptions.
#pragma once

#include <string>
#include <string_view>

namespace murva {

inline constexpr std::string_view relayMarker = "typ relay"; // exact bytes, case-sensitive

bool containsRelayMarker(std::string_view text);

// `sdp` without every line (up to and including its line feed) that contains the relay marker.
std::string stripRelayLines(std::string_view sdp);

} // namespace murva
