#include <openssl/crypto.h>
#include <openssl/sha.h>

#include "config/settings.hpp"
#include "signaling/console_lines.hpp"
#include "signaling/handlers.hpp"
#include "signaling/json_check.hpp"
#include "signaling/protocol.hpp"

using nlohmann::json;

namespace {

// Compares digests in constant time: neither the bytes nor the length of the password leak through timing.
bool passwordMatches(const std::string& given) {
    unsigned char a[SHA256_DIGEST_LENGTH];
    unsigned char b[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(given.data()), given.size(), a);
    SHA256(reinterpret_cast<const unsigned char*>(serverPassword.data()), serverPassword.size(), b);
    return CRYPTO_memcmp(a, b, sizeof a) == 0 && given.size() == serverPassword.size();
}

// A frame from a client in no room is used only when it is an object whose join members are strings;
// anything else is dropped before it can change state.
bool usableOutsideRoom(const json& message) {
    if (!message.is_object() || !stringMembersOrAbsent(message, {"type"}))
        return false;
    if (message.value("type", std::string()) != "join")
        return true; // ignored further on
    if (!stringMembersOrAbsent(message, {"room", "nick"}))
        return false;
    return serverPassword.empty() || stringMembersOrAbsent(message, {"password"});
}

} // namespace

bool stringMembersOrAbsent(const json& object, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        auto it = object.find(name);
        if (it != object.end() && !it->is_string())
            return false;
    }
    return true;
}

void handleMessage(const WeakSocket& weakSelf, const std::shared_ptr<ClientCtx>& ctx, rtc::message_variant message) {
    auto* text = std::get_if<std::string>(&message);
    if (!text)
        return; // binary frames mean nothing here
    const SocketPtr self = weakSelf.lock();
    if (!self)
        return;

    // Only this connection's handler changes its slot, and its calls never overlap, so this unlocked read
    // stays true until the locked one below.
    const bool inRoom = ctx->slot >= 0;
    json parsed;
    if (inRoom && allowTurn) {
        // Forwarded untouched: only validity matters, and checking it builds no document.
        if (!isValidJson(*text))
            return;
    } else {
        parsed = json::parse(*text, nullptr, false);
        if (parsed.is_discarded())
            return;
        if (!inRoom && !usableOutsideRoom(parsed))
            return;
    }

    if (!inRoom && !serverPassword.empty() && parsed.value("type", std::string()) == "join" &&
        !passwordMatches(parsed.value("password", std::string()))) {
        sendJson(self, unauthorizedMessage());
        self->close();
        return;
    }

    StateLock lock;
    if (ctx->slot >= 0)
        return relayFrame(*ctx, std::move(*text), inRoom && allowTurn ? nullptr : &parsed);
    if (parsed.value("type", std::string()) != "join")
        return;
    handleJoin(self, *ctx, parsed);
}
