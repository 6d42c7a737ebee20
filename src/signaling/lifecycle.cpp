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
    : state_(state), proxyProtocol_(settings.proxyProtocol), policy_(makePolicy(settings)),
      allowTurn_(settings.allowTurn), passwordFailures_(settings.maxPasswordFailuresPerIp),
      joins_(settings.maxJoinsPerIpPerMinute), failoverWaitMs_(settings.cluster ? settings.cluster->failoverWaitMs : 0),
      resumeGrace_(settings.resumeGraceMs), expiry_([this](DeadlineThread::Time now) {
          SignalingState::Lock lock(state_);
          const auto held = state_.expireHeld(now);
          const auto waiting = refuseWaitingJoins(now);
          return held && waiting ? std::min(held, waiting) : held ? held : waiting;
      }) {}

std::shared_ptr<const SignalingService::Policy> SignalingService::makePolicy(const ServerSettings& settings) {
    return std::make_shared<const Policy>(Policy{
        settings.password, parseTrustedProxies(settings.trustedProxies),
        settings.turn ? std::optional<TurnCredentials>(std::in_place, *settings.turn) : std::nullopt,
        settings.ipv6PrefixLength, settings.auth ? std::make_shared<const TokenVerifier>(*settings.auth) : nullptr});
}

std::shared_ptr<const SignalingService::Policy> SignalingService::policy() const {
    std::lock_guard lock(policyMutex_);
    return policy_;
}

void SignalingService::reconfigure(const ServerSettings& settings) {
    auto next = makePolicy(settings); // throws before anything changes
    {
        std::lock_guard lock(policyMutex_);
        policy_.swap(next);
    }
    allowTurn_.store(settings.allowTurn, std::memory_order_relaxed);
    passwordFailures_.setLimit(settings.maxPasswordFailuresPerIp);
    joins_.setLimit(settings.maxJoinsPerIpPerMinute);
    failoverWaitMs_.store(settings.cluster ? settings.cluster->failoverWaitMs : 0, std::memory_order_relaxed);
}

std::size_t SignalingService::authKeys() const {
    const auto current = policy();
    return current->auth ? current->auth->keyCount() : 0;
}

bool SignalingService::trustedProxy(const std::string& ip) const {
    const auto address = parseIpAddress(ip);
    return address && policy()->trusted.contains(*address);
}

std::string SignalingService::resolveAddress(const std::string& remote, const rtc::HttpRequest* request) const {
    std::string peer = clientIpFromAddress(remote);
    const auto current = policy();
    // A connection that came with a PROXY header has its address from there, or (LOCAL, UNKNOWN) stands for
    // itself: its X-Forwarded-For is whatever the relayed client wrote.
    if (current->trusted.empty() || proxyProtocol_ || !request)
        return peer;
    return resolveClientAddress(peer, request->headerValues("X-Forwarded-For"), current->trusted);
}

std::string SignalingService::pendingKey(const std::string& ip, const std::vector<std::string>& forwardedFor) const {
    const auto current = policy();
    const std::string client = openingClient(*current, ip, forwardedFor);
    const auto address = parseIpAddress(client);
    if (address && current->trusted.contains(*address))
        return {};
    return limitKey(client, current->ipv6PrefixLength);
}

void SignalingService::reportRefusedOpening(std::string_view reason, const std::string& ip,
                                            const std::vector<std::string>& forwardedFor) {
    state_.reportRefusal(reason, openingClient(*policy(), ip, forwardedFor));
}

std::string SignalingService::openingClient(const Policy& current, const std::string& ip,
                                            const std::vector<std::string>& forwardedFor) const {
    return current.trusted.empty() || proxyProtocol_ ? ip : resolveClientAddress(ip, forwardedFor, current.trusted);
}

std::string SignalingService::clientAddress(const rtc::WebSocket& socket) const {
    return resolveAddress(socket.remoteAddress().value_or(""), socket.upgradeRequest());
}

void SignalingService::handleClient(SocketPtr socket) {
    std::string ip = clientAddress(*socket);
    std::string key = ip.empty() ? std::string() : limitKey(ip, policy()->ipv6PrefixLength);
    auto client = std::make_shared<Client>(socket, std::move(ip), std::move(key));
    if (client->ip != clientIpFromAddress(socket->remoteAddress().value_or("")))
        socket->setClientAddress(client->ip); // forwarded by our proxy: its log lines name the client, not the proxy
    bool admitted;
    std::string_view refusal;
    {
        SignalingState::Lock lock(state_);
        admitted = state_.admit(socket, client->key, &refusal);
    }
    if (!admitted) {
        state_.reportRefusal(refusal, client->ip);
        sendJson(socket, errorMessage(reasonConnectionLimit));
        socket->close();
        return;
    }
    socket->onMessage([this, client](rtc::message_variant message) { handleMessage(client, std::move(message)); });
    socket->onClosed([this, client] { handleClose(client); });
}

// Compares digests in constant time: neither the bytes nor the length of the password leak through timing.
bool SignalingService::passwordMatches(const std::string& given, const std::string& password) {
    unsigned char a[SHA256_DIGEST_LENGTH];
    unsigned char b[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(given.data()), given.size(), a);
    SHA256(reinterpret_cast<const unsigned char*>(password.data()), password.size(), b);
    return CRYPTO_memcmp(a, b, sizeof a) == 0 && given.size() == password.size();
}

bool SignalingService::usableOutsideRoom(const json& message, const std::string& password) {
    if (!message.is_object() || !stringMembersOrAbsent(message, {"type"}))
        return false;
    if (message.value("type", std::string()) != "join")
        return true; // ignored further on
    if (!stringMembersOrAbsent(message, {"room", "nick"}))
        return false;
    return password.empty() || stringMembersOrAbsent(message, {"password"});
}

bool SignalingService::admitJoin(const SocketPtr& self, const Client& client, const json& message,
                                 const Policy& policy) {
    const std::string& password = policy.password;
    auto& counters = state_.counters();
    const auto now = RateLimiter::Clock::now();
    // An address we cannot tell is not limited: it would put unrelated clients in one bucket.
    const bool limited = !client.key.empty();
    const bool guessable = !password.empty() || policy.auth; // wrong passwords and refused tokens alike
    const bool tooMany =
        limited && (!joins_.tryAcquire(client.key, now) || (guessable && passwordFailures_.overLimit(client.key, now)));
    if (tooMany) {
        bump(counters.joinsRateLimited);
        state_.reportRefusal("rate_limited", client.ip);
        sendJson(self, errorMessage(reasonTooManyAttempts));
        self->close();
        return false;
    }
    if (password.empty() || passwordMatches(message.value("password", std::string()), password))
        return true;
    if (limited)
        passwordFailures_.record(client.key, now);
    bump(counters.joinsUnauthorized);
    state_.reportRefusal("unauthorized", client.ip);
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
    const bool allowTurn = allowTurn_.load(std::memory_order_relaxed); // once: a reload may change it meanwhile
    json parsed;
    std::shared_ptr<const Policy> current; // only for a client in no room: a frame in a room needs none
    if (inRoom && allowTurn) {
        // Forwarded untouched: only validity matters, and checking it builds no document.
        if (!isValidJson(*text))
            return bump(counters.droppedMalformed);
    } else {
        parsed = json::parse(*text, nullptr, false);
        if (!inRoom)
            current = policy();
        if (parsed.is_discarded() || (!inRoom && !usableOutsideRoom(parsed, current->password)))
            return bump(counters.droppedMalformed);
    }

    if (!inRoom && parsed.value("type", std::string()) == "join" &&
        (!admitJoin(self, *client, parsed, *current) ||
         (current->auth && !admitToken(self, client, parsed, *current->auth))))
        return;

    SignalingState::Lock lock(state_);
    if (client->slot >= 0)
        return relayFrame(*client, std::move(*text), allowTurn ? nullptr : &parsed);
    if (client->joinPending) // sent before "joined" came: there is no peer to relay it to yet
        return bump(counters.droppedNotJoined);
    if (parsed.value("type", std::string()) != "join")
        return bump(counters.droppedNotJoined);
    client->joinDeadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(failoverWaitMs_.load(std::memory_order_relaxed));
    handleJoin(self, client, parsed, current->turn);
}

void SignalingService::handleClose(const std::shared_ptr<Client>& client) {
    const SocketPtr socket = client->connection.lock(); // still held by the state until the release below
    SignalingState::Lock lock(state_);
    client->closed = true;
    waiting_.erase(client.get());
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
        expiry_.arm(deadline);
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
