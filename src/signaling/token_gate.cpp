// The join token's check in front of a join, after the rate limit and the password: a refused token is
// answered as a wrong password is, and counted with them.
#include <chrono>

#include "signaling/protocol.hpp"
#include "signaling/signaling_service.hpp"
#include "transport/logger.hpp"

namespace murva {

bool SignalingService::admitToken(const SocketPtr& self, const std::shared_ptr<Client>& client, nlohmann::json& message,
                                  const TokenVerifier& verifier) {
    const auto token = message.find("token");
    TokenResult result;
    if (token != message.end() && token->is_string()) {
        const auto now =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        result = verifier.verify(token->get_ref<const std::string&>(), message.value("room", std::string()), now);
    } else if (token != message.end()) {
        result.failure = TokenFailure::Malformed;
    } else if (!verifier.required()) {
        return true;
    }
    auto& counters = state_.counters();
    if (token == message.end() || result.failure) {
        if (!client->key.empty())
            passwordFailures_.record(client->key, RateLimiter::Clock::now());
        if (result.failure)
            bump(counters.tokenFailures[static_cast<std::size_t>(*result.failure)]);
        // The reason only: a token in a log would be a credential for anyone who reads it.
        rtc::Log(rtc::LogLevel::Info, "Join token refused from " + (client->ip.empty() ? "?" : client->ip) + ": " +
                                          std::string(result.failure ? tokenFailureName(*result.failure) : "missing"));
        bump(counters.joinsUnauthorized);
        state_.reportRefusal("unauthorized", client->ip);
        sendJson(self, unauthorizedMessage());
        self->close();
        return false;
    }
    if (result.grant.nick)
        message["nick"] = *result.grant.nick;
    if (result.grant.maxSeconds) {
        // The whole connection ends: the membership is what the token paid for, and a rejoin needs a new one.
        deadlines_.add(Deadlines::Clock::now() + std::chrono::seconds(*result.grant.maxSeconds), client);
    }
    return true;
}

void SignalingService::endMembership(const std::shared_ptr<Client>& client) {
    const SocketPtr socket = client->connection.lock();
    if (!socket || !socket->isOpen())
        return;
    {
        // The grant is over: the slot is left, not held for a resume that would outlast it.
        SignalingState::Lock lock(state_);
        state_.forgetSession(*client);
        client->sessionHash.clear();
    }
    sendJson(socket, errorMessage(reasonTokenExpired));
    socket->close(); // its close handler leaves the room, and the other member is told
}

} // namespace murva
