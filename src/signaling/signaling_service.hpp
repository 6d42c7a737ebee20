// One client's lifecycle on a server: admission of the connection, each message it sends (join or relay)
// and its close. Handed to the transport as its onClient handler.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "config/settings.hpp"
#include "signaling/client.hpp"
#include "signaling/state.hpp"
#include "signaling/turn_credentials.hpp"
#include "transport/common.hpp"

namespace murva {

class SignalingService {
public:
    // Takes the password, the relay filter and the TURN settings from `settings`; `state` must outlive the
    // service and every connection it admits.
    SignalingService(SignalingState& state, const ServerSettings& settings);

    // Admits or refuses a new connection and installs its handlers. Safe from any I/O thread.
    void handleClient(SocketPtr socket);

private:
    // One received frame: intake, password gate, then join (sender in no room) or relay (sender in a room).
    void handleMessage(const std::shared_ptr<Client>& client, rtc::message_variant message);
    void handleClose(const std::shared_ptr<Client>& client);

    // A frame from a client in no room is used only when it is an object whose join members are strings.
    bool usableOutsideRoom(const nlohmann::json& message) const;
    bool passwordMatches(const std::string& given) const;

    // Join of a client in no room, under the lock. `message` is an object whose join members are strings
    // where present.
    void handleJoin(const SocketPtr& self, const std::shared_ptr<Client>& client, const nlohmann::json& message);

    // Forwards a frame of a client in a room to the other member, under the lock. `parsed` is the frame's
    // value when it was parsed (needed only when relay candidates are stripped).
    void relayFrame(const Client& client, std::string&& text, const nlohmann::json* parsed);

    SignalingState& state_;
    const std::string password_; // empty: open server
    const bool allowTurn_;
    const std::optional<TurnCredentials> turn_; // empty: "joined" carries no iceServers
};

} // namespace murva
