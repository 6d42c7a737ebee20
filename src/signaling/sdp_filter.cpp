// Finding and stripping TURN relay candidates in forwarded text.
#include "signaling/sdp_filter.hpp"

namespace murva {

bool containsRelayMarker(std::string_view text) { return text.find(relayMarker) != std::string_view::npos; }

std::string stripRelayLines(std::string_view sdp) {
    std::string out;
    out.reserve(sdp.size());
    std::size_t pos = 0;
    while (pos < sdp.size()) {
        const std::size_t lineFeed = sdp.find('\n', pos);
        const std::size_t end = lineFeed == std::string_view::npos ? sdp.size() : lineFeed + 1;
        const std::string_view line = sdp.substr(pos, end - pos);
        if (!containsRelayMarker(line))
            out.append(line);
        pos = end;
    }
    return out;
}

} // namespace murva
