// Relay to the other member: untouched, or with TURN relay candidates filtered out.
#include "signaling/protocol.hpp"
#include "signaling/sdp_filter.hpp"
#include "signaling/signaling_service.hpp"

namespace murva {

namespace {

// A re-serialised offer or answer is dumped recursively; a value nested deeper than any session
// description could be is dropped instead of being allowed to exhaust the stack.
constexpr int maxRewriteDepth = 64;

bool nestedDeeperThan(const nlohmann::json& value, int limit) {
    if (!value.is_structured())
        return false;
    if (limit == 0)
        return true;
    for (const auto& child : value)
        if (nestedDeeperThan(child, limit - 1))
            return true;
    return false;
}

} // namespace

void SignalingService::relayFrame(const Client& client, std::string&& text, const nlohmann::json* parsed) {
    auto& counters = state_.counters();
    if (client.superseded) // a resume took its slot; the connection is being closed
        return bump(counters.droppedNotJoined);
    Member* peer = state_.peerOf(client);
    if (!peer)
        return bump(counters.droppedNoPeer);
    const auto forward = [&](std::string&& frame) {
        bump(counters.relayed);
        bump(counters.relayedBytes, frame.size());
        peer->deliver(std::move(frame));
        state_.dropOverflowedPeer(client); // a held partner was sent more than its slot keeps: the slot ends
    };
    if (!parsed) // relay candidates are let through
        return forward(std::move(text));

    const nlohmann::json& message = *parsed;
    if (!message.is_object() || !stringMembersOrAbsent(message, {"type"}))
        return bump(counters.droppedMalformed);
    const std::string type = message.value("type", std::string());
    if (type == "candidate") {
        if (!stringMembersOrAbsent(message, {"candidate"}))
            return bump(counters.droppedMalformed);
        if (containsRelayMarker(message.value("candidate", std::string())))
            return bump(counters.droppedRelayFiltered);
        return forward(std::move(text));
    }
    if (type == "offer" || type == "answer") {
        if (!stringMembersOrAbsent(message, {"sdp"}) || nestedDeeperThan(message, maxRewriteDepth))
            return bump(counters.droppedMalformed);
        nlohmann::json rewritten = message;
        rewritten["sdp"] = stripRelayLines(message.value("sdp", std::string()));
        return forward(dumpCompact(rewritten));
    }
    forward(std::move(text));
}

} // namespace murva
