// Admission of a connection, the intake of each frame it sends, and its close.
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <stdexcept>

#include "signaling/client_address.hpp"
#include "signaling/json_check.hpp"
#include "signaling/protocol.hpp"
#include "signaling/signaling_service.hpp"

namespace murva {

using nlohmann::json;

namespace {

TrustedProxies parseTrustedProxies(const std::vector<std::string>& entries) {
    std::string error;
    auto parsed = TrustedProxies::parse(entries, error);
    if (!parsed)
        throw std::invalid_argument("trusted_proxies: " + error);
    return *parsed;
}

} // namespace

SignalingService::SignalingService(SignalingState& state, const ServerSettings& settings)
    : state_(state), password_(settings.password), allowTurn_(settings.allowTurn),
      trusted_(parseTrustedProxies(settings.trustedProxies)), proxyProtocol_(settings.proxyProtocol),
      ipv6PrefixLength_(settings.ipv6PrefixLength),
      passwordFailures_(settings.maxPasswordFailuresPerIp), joins_(settings.maxJoinsPerIpPerMinute),
      turn_(settings.turn ? std::optional<TurnCredentials>(std::in_place, *settings.turn) : std::nullopt),
      resumeGrace_(settings.resumeGraceMs), heldExpiry_([this](DeadlineThread::Time now) {
          SignalingState::Lock lock(state_);
          return state_.expireHeld(now);
      }) {}

bool SignalingService::trustedProxy(const std::string& ip) const {
    const auto address = parseIpAddress(ip);
    return address && trusted_.contains(*address);
}

std::string SignalingService::pendingKey(const std::string& ip,
                                         const std::vector<std::string>& forwardedFor) const {
    const std::string client =
        trusted_.empty() || proxyProtocol_ ? ip : resolveClientAddress(ip, forwardedFor, trusted_);
    if (trustedProxy(client))
        return {};
    return limitKey(client, ipv6PrefixLength_);
}

std::string SignalingService::clientAddress(const rtc::WebSocket& socket) const {
    std::string peer = clientIpFromAddress(socket.remoteAddress().value_or(""));
    const rtc::HttpRequest* request = socket.upgradeRequest();
    // A connection that came with a PROXY header has its address from there, or (LOCAL, UNKNOWN) stands for
    // itself: its X-Forwarded-For is whatever the relayed client wrote.
    if (trusted_.empty() || proxyProtocol_ || !request)
        return peer;
    return resolveClientAddress(peer, request->headerValues("X-Forwarded-For"), trusted_);
}

void SignalingService::handleClient(SocketPtr socket) {
    std::string ip = clientAddress(*socket);
    std::string key = ip.empty() ? std::string() : limitKey(ip, ipv6PrefixLength_);
    auto client = std::make_shared<Client>(socket, std::move(ip), std::move(key));
    bool admitted;
    {
        SignalingState::Lock lock(state_);
        admitted = state_.admit(socket, client->key);
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

bool SignalingService::admitJoin(const SocketPtr& self, const Client& client, const json& message) {
    auto& counters = state_.counters();
    const auto now = RateLimiter::Clock::now();
    // An address we cannot tell is not limited: it would put unrelated clients in one bucket.
    const bool limited = !client.key.empty();
    const bool tooMany = limited && (!joins_.tryAcquire(client.key, now) ||
                                     (!password_.empty() && passwordFailures_.overLimit(client.key, now)));
    if (tooMany) {
        bump(counters.joinsRateLimited);
        sendJson(self, errorMessage(reasonTooManyAttempts));
        self->close();
        return false;
    }
    if (password_.empty() || passwordMatches(message.value("password", std::string())))
        return true;
    if (limited)
        passwordFailures_.record(client.key, now);
    bump(counters.joinsUnauthorized);
    sendJson(self, unauthorizedMessage());
    self->close();
    return false;
}

void SignalingService::handleMessage(const std::shared_ptr<Client>& client, rtc::message_variant message) {
    auto& counters = state_.counters();
    auto* text = std::get_if<std::string>(&message);
    if (!text)
        return bump(counters.droppedMalformed); // binary frames mean nothing here
    const SocketPtr self = client->connection.lock();
    if (!self)
        return;

    // A slot, once taken, is kept until the connection closes, so an unlocked "in a room" stays true below.
    const bool inRoom = client->slot >= 0;
    json parsed;
    if (inRoom && allowTurn_) {
        // Forwarded untouched: only validity matters, and checking it builds no document.
        if (!isValidJson(*text))
            return bump(counters.droppedMalformed);
    } else {
        parsed = json::parse(*text, nullptr, false);
        if (parsed.is_discarded() || (!inRoom && !usableOutsideRoom(parsed)))
            return bump(counters.droppedMalformed);
    }

    if (!inRoom && parsed.value("type", std::string()) == "join" && !admitJoin(self, *client, parsed))
        return;

    SignalingState::Lock lock(state_);
    if (client->slot >= 0)
        return relayFrame(*client, std::move(*text), inRoom && allowTurn_ ? nullptr : &parsed);
    if (client->joinPending) // sent before "joined" came: there is no peer to relay it to yet
        return bump(counters.droppedNotJoined);
    if (parsed.value("type", std::string()) != "join")
        return bump(counters.droppedNotJoined);
    handleJoin(self, client, parsed);
}

void SignalingService::handleClose(const std::shared_ptr<Client>& client) {
    const SocketPtr socket = client->connection.lock(); // still held by the state until the release below
    SignalingState::Lock lock(state_);
    client->closed = true;
    if (client->superseded) // its slot went to the connection that resumed it
        return state_.release(*client);
    // A member that asked to resume keeps its slot for a while unless it left with a close frame of its own.
    if (client->slot >= 0 && !client->sessionHash.empty() && socket && !socket->closedByPeer()) {
        if (shared_) {
            shared_->hold(*client, static_cast<uint32_t>(resumeGrace_.count()));
            return state_.release(*client);
        }
        const auto deadline = std::chrono::steady_clock::now() + resumeGrace_;
        state_.holdSlot(*client, deadline);
        heldExpiry_.arm(deadline);
        return state_.release(*client);
    }
    if (client->slot >= 0) {
        state_.forgetSession(*client);
        state_.vacateRoomSlot(*client);
        if (shared_)
            shared_->vacate(*client);
    }
    state_.release(*client);
}

} // namespace murva
