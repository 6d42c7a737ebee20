// Admission of a connection, the intake of each frame it sends, and its close.
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include "signaling/client_address.hpp"
#include "signaling/json_check.hpp"
#include "signaling/protocol.hpp"
#include "signaling/signaling_service.hpp"

namespace murva {

using nlohmann::json;

SignalingService::SignalingService(SignalingState& state, const ServerSettings& settings)
    : state_(state), password_(settings.password), allowTurn_(settings.allowTurn),
      turn_(settings.turn ? std::optional<TurnCredentials>(std::in_place, *settings.turn) : std::nullopt) {}

void SignalingService::handleClient(SocketPtr socket) {
    auto client = std::make_shared<Client>(socket, clientIpFromAddress(socket->remoteAddress().value_or("")));
    bool admitted;
    {
        SignalingState::Lock lock(state_);
        admitted = state_.admit(socket, client->ip);
    }
    if (!admitted) {
        sendJson(socket, errorMessage(reasonConnectionLimit));
        socket->close();
        return;
    }
    socket->onMessage([this, client](rtc::message_variant message) { handleMessage(client, std::move(message)); });
    socket->onClosed([this, client] { handleClose(client); });
}

// Compares digests in constant time: neither the bytes nor the length of the password leak through timing.
bool SignalingService::passwordMatches(const std::string& given) const {
    unsigned char a[SHA256_DIGEST_LENGTH];
    unsigned char b[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(given.data()), given.size(), a);
    SHA256(reinterpret_cast<const unsigned char*>(password_.data()), password_.size(), b);
    return CRYPTO_memcmp(a, b, sizeof a) == 0 && given.size() == password_.size();
}

bool SignalingService::usableOutsideRoom(const json& message) const {
    if (!message.is_object() || !stringMembersOrAbsent(message, {"type"}))
        return false;
    if (message.value("type", std::string()) != "join")
        return true; // ignored further on
    if (!stringMembersOrAbsent(message, {"room", "nick"}))
        return false;
    return password_.empty() || stringMembersOrAbsent(message, {"password"});
}

void SignalingService::handleMessage(const std::shared_ptr<Client>& client, rtc::message_variant message) {
    auto* text = std::get_if<std::string>(&message);
    if (!text)
        return; // binary frames mean nothing here
    const SocketPtr self = client->connection.lock();
    if (!self)
        return;

    // Only this connection's handler changes its slot, and its calls never overlap, so this unlocked read
    // stays true until the locked one below.
    const bool inRoom = client->slot >= 0;
    json parsed;
    if (inRoom && allowTurn_) {
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

    if (!inRoom && !password_.empty() && parsed.value("type", std::string()) == "join" &&
        !passwordMatches(parsed.value("password", std::string()))) {
        sendJson(self, unauthorizedMessage());
        self->close();
        return;
    }

    SignalingState::Lock lock(state_);
    if (client->slot >= 0)
        return relayFrame(*client, std::move(*text), inRoom && allowTurn_ ? nullptr : &parsed);
    if (parsed.value("type", std::string()) != "join")
        return;
    handleJoin(self, client, parsed);
}

void SignalingService::handleClose(const std::shared_ptr<Client>& client) {
    SignalingState::Lock lock(state_);
    if (client->slot >= 0)
        state_.vacateRoomSlot(*client);
    state_.release(*client);
}

} // namespace murva
