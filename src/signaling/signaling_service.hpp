// One client's lifecycle on a server: admission of the connection, each message it sends (join or relay)
// and its close. Handed to the transport as its onClient handler.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/settings.hpp"
#include "signaling/client.hpp"
#include "signaling/deadline_thread.hpp"
#include "signaling/deadlines.hpp"
#include "signaling/join_token.hpp"
#include "signaling/rate_limiter.hpp"
#include "signaling/shared_rooms.hpp"
#include "signaling/state.hpp"
#include "signaling/trusted_proxies.hpp"
#include "signaling/turn_credentials.hpp"
#include "transport/common.hpp"
#include "transport/http.hpp"

namespace murva {

class SignalingService {
public:
    // Takes the password, the relay filter, the trusted proxies, the rate limits and the TURN settings from
    // `settings`; `state` must outlive the service and every connection it admits. Throws
    // std::invalid_argument for a trusted_proxies entry that is no address or range.
    SignalingService(SignalingState& state, const ServerSettings& settings);

    // Admits or refuses a new connection and installs its handlers. Safe from any I/O thread. Call it from
    // the transport's onClient: the client's address may come from the upgrade request.
    void handleClient(SocketPtr socket);

    // Whether a socket peer at `ip` is one of our proxies (may send PROXY headers and X-Forwarded-For).
    bool trustedProxy(const std::string& ip) const;

    // The client address that `peer` (the socket's, or the PROXY header's) and the request's X-Forwarded-For
    // lines give, under the trusted proxies in force (none read behind PROXY headers).
    std::string resolveAddress(const std::string& peer, const rtc::HttpRequest* request) const;

    // What a connection not upgraded yet counts under, for the transport's caps on them: the limits' key of
    // the client at `ip` (the socket peer, or a PROXY header's source), or of the one `forwardedFor` names
    // when `ip` is a trusted proxy's. Empty for a connection of our proxies' own.
    std::string pendingKey(const std::string& ip, const std::vector<std::string>& forwardedFor) const;

    // Tells the state's observer of a connection the transport refused before its upgrade, naming the client as
    // pendingKey resolves it.
    void reportRefusedOpening(std::string_view reason, const std::string& ip,
                              const std::vector<std::string>& forwardedFor);

    // Takes the password, the relay filter, the trusted proxies, the IPv6 prefix of the limits' keys, the rate
    // limits, the TURN settings and the join tokens' keys (read again from their file) of `settings` for
    // connections and joins from now on; rooms and admitted connections stay as they are (each keeps the key it
    // was counted under). Throws std::invalid_argument, changing nothing, for a trusted_proxies entry that is no
    // address or range, or a key set that cannot be used.
    void reconfigure(const ServerSettings& settings);

    // Keys that join tokens are checked with (the secret counts as one); 0 without "auth".
    std::size_t authKeys() const;

    // From now on joins are decided by `rooms`, shared with other instances (null: by this server alone).
    // Set before the first client comes; `rooms` must outlive every join it is asked. A join that comes while
    // `rooms` cannot be reached waits for it up to cluster.failover_wait_ms.
    void useSharedRooms(SharedRooms* rooms);

    // Whether slots are held for members that asked to resume (resume_grace_ms above 0).
    bool resumable() const { return resumeGrace_.count() > 0; }

private:
    // One received frame: intake, password gate, then join (sender in no room) or relay (sender in a room).
    void handleMessage(const std::shared_ptr<Client>& client, rtc::message_variant message);
    void handleClose(const std::shared_ptr<Client>& client);

    // A frame from a client in no room is used only when it is an object whose join members are strings.
    // What a reload replaces as a whole: read once per connection or join, never per frame.
    struct Policy {
        std::string password; // empty: open server
        TrustedProxies trusted;
        std::optional<TurnCredentials> turn;       // empty: "joined" carries no iceServers
        unsigned ipv6PrefixLength;                 // an IPv6 client's limits count by this prefix
        std::shared_ptr<const TokenVerifier> auth; // null: joins carry no token
    };
    static std::shared_ptr<const Policy> makePolicy(const ServerSettings& settings);
    std::shared_ptr<const Policy> policy() const;
    // The client a connection not upgraded yet stands for (see pendingKey).
    std::string openingClient(const Policy& current, const std::string& ip,
                              const std::vector<std::string>& forwardedFor) const;

    static bool usableOutsideRoom(const nlohmann::json& message, const std::string& password);
    static bool passwordMatches(const std::string& given, const std::string& password);

    // The client's address: the socket peer's, or the one our proxies forwarded.
    std::string clientAddress(const rtc::WebSocket& socket) const;

    // The gate in front of a join: the join rate and the password (with the rate of wrong guesses). False when
    // the join was refused; the connection is then being closed.
    bool admitJoin(const SocketPtr& self, const Client& client, const nlohmann::json& message, const Policy& policy);

    // The join token's check (token_gate.cpp). False when the join was refused; the connection is then being
    // closed. On success the token's nick replaces the message's, and a limited membership gets its end.
    bool admitToken(const SocketPtr& self, const std::shared_ptr<Client>& client, nlohmann::json& message,
                    const TokenVerifier& verifier);
    // A token's max_seconds ran out: "Token expired." and a close, on the deadlines' thread.
    void endMembership(const std::shared_ptr<Client>& client);

    // Join of a client in no room, under the lock. `message` is an object whose join members are strings
    // where present.
    void handleJoin(const SocketPtr& self, const std::shared_ptr<Client>& client, const nlohmann::json& message,
                    const std::optional<TurnCredentials>& turn);

    // The replies to a join that was decided: "joined" (with `session`, when not empty) and the peer's
    // "peer-joined", or the refusal.
    void answerJoin(const SocketPtr& self, const Client& client, const ClaimResult& claim, nlohmann::json iceServers,
                    const std::string& session = {});

    // A join with a session token, under the lock: the slot back with what was kept for it, or "Session expired.".
    void resumeJoin(const SocketPtr& self, const std::shared_ptr<Client>& client, const std::string& room,
                    const std::string& token, nlohmann::json iceServers);

    // The same when rooms are shared: the registry finds the held slot, and answers later. `message` and `turn`
    // are the join's, for it to wait and be asked again when the registry cannot be reached.
    void resumeShared(const SocketPtr& self, const std::shared_ptr<Client>& client, const std::string& room,
                      const std::string& token, nlohmann::json iceServers, const nlohmann::json& message,
                      const std::optional<TurnCredentials>& turn);

    // Joins (and resumes) that came while the shared registry could not be reached wait for it, under the lock,
    // until the client's joinDeadline: false when that has passed (the join is refused instead).
    bool waitForRegistry(const std::shared_ptr<Client>& client, const nlohmann::json& message,
                         const std::optional<TurnCredentials>& turn);
    void runWaitingJoins(); // the registry answers again: each is handled as it came, in order
    // Those whose wait has run out are refused; the next end of a wait, if any.
    std::optional<SteadyTime> refuseWaitingJoins(SteadyTime now);

    // A fresh token for the client (which has joined or resumed), under the lock; the old one is void.
    std::string startSession(const std::shared_ptr<Client>& client, std::string token);

    // Forwards a frame of a client in a room to the other member, under the lock. `parsed` is the frame's
    // value when relay candidates are to be stripped from it; null: forwarded as it is.
    void relayFrame(const Client& client, std::string&& text, const nlohmann::json* parsed);

    SignalingState& state_;
    const bool proxyProtocol_; // every connection opens with a PROXY header (kept until a restart)
    mutable std::mutex policyMutex_;
    std::shared_ptr<const Policy> policy_;
    std::atomic<bool> allowTurn_;  // read for every frame, so not part of the policy
    RateLimiter passwordFailures_; // wrong passwords per client address
    RateLimiter joins_;            // joins of any kind per client address
    SharedRooms* shared_ = nullptr;
    std::atomic<uint32_t> failoverWaitMs_; // how long a join waits for the shared registry
    struct WaitingJoin {
        uint64_t order = 0;
        std::weak_ptr<Client> client;
        nlohmann::json message;
        std::shared_ptr<const std::optional<TurnCredentials>> turn; // the policy's when the join came
    };
    // Under the state's lock; one per connection at most (joinPending), forgotten when it closes.
    std::unordered_map<const Client*, WaitingJoin> waiting_;
    uint64_t waitingOrder_ = 0;
    const std::chrono::milliseconds resumeGrace_;
    // The ends of held slots' grace periods and of joins' waits. These two last: their threads stop first,
    // while what they call still exists.
    DeadlineThread expiry_;
    Deadlines deadlines_{[this](const std::shared_ptr<Client>& client) { endMembership(client); }};
};

} // namespace murva
