// One admitted connection as the signaling code sees it, and the handle through which its room's other member
// reaches it.
#pragma once

#include <memory>
#include <string>

#include "signaling/member.hpp"
#include "transport/websocket.hpp"

namespace murva {

using SocketPtr = std::shared_ptr<rtc::WebSocket>;
using WeakSocket = std::weak_ptr<rtc::WebSocket>;

// Shared by the connection's message and close handlers and, while it is in a room, by the room's slot.
// room/slot/nick change only under the state's lock (slot once, from -1 to 0 or 1); the handlers of one
// connection never run at the same time, so they may read them without the lock.
class Client final : public Member {
public:
    Client(WeakSocket connection, std::string ip) : connection(std::move(connection)), ip(std::move(ip)) {}

    void deliver(std::string text) override {
        if (auto socket = connection.lock(); socket && socket->isOpen())
            socket->send(std::move(text));
    }
    bool expired() const override { return connection.expired(); }

    const WeakSocket connection; // the state holds the only strong reference
    const std::string ip;        // may be empty
    std::string room;
    int slot = -1; // -1: in no room
    std::string nick;
};

} // namespace murva
