#include "config/settings.hpp"
#include "signaling/handlers.hpp"
#include "signaling/protocol.hpp"
#include "signaling/sdp_filter.hpp"

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

void relayFrame(const ClientCtx& ctx, std::string&& text, const nlohmann::json* parsed) {
    const SocketPtr peer = lockPeer(ctx);
    if (!peer || !peer->isOpen())
        return;
    if (allowTurn || !parsed)
        return void(peer->send(std::move(text)));

    const nlohmann::json& message = *parsed;
    if (!message.is_object() || !stringMembersOrAbsent(message, {"type"}))
        return;
    const std::string type = message.value("type", std::string());
    if (type == "candidate") {
        if (!stringMembersOrAbsent(message, {"candidate"}))
            return;
        if (containsRelayMarker(message.value("candidate", std::string())))
            return;
        return void(peer->send(std::move(text)));
    }
    if (type == "offer" || type == "answer") {
        if (!stringMembersOrAbsent(message, {"sdp"}) || nestedDeeperThan(message, maxRewriteDepth))
            return;
        nlohmann::json rewritten = message;
        rewritten["sdp"] = stripRelayLines(message.value("sdp", std::string()));
        return void(peer->send(dumpCompact(rewritten)));
    }
    peer->send(std::move(text));
}
