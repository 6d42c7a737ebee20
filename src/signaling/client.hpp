// One admitted connection as the signaling code sees it, and the handle through which its room's other member
// reaches it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "signaling/member.hpp"
#include "signaling/protocol.hpp"
#include "transport/websocket.hpp"

namespace murva {

using SocketPtr = std::shared_ptr<rtc::WebSocket>;
using WeakSocket = std::weak_ptr<rtc::WebSocket>;

// Shared by the connection's message and close handlers and, while it is in a room, by the room's slot.
// room/slot/nick change only under the state's lock (slot once, from -1 to 0 or 1). The connection's own
// handlers may read slot without the lock (it is atomic: with shared rooms, the registry's thread places the
// client); room and nick are read under the lock.
class Client final : public Member {
public:
    Client(WeakSocket connection, std::string ip, std::string key)
        : connection(std::move(connection)), ip(std::move(ip)), key(std::move(key)) {}

    void deliver(std::string text) override {
        if (auto socket = connection.lock(); socket && socket->isOpen())
            socket->send(std::move(text));
    }
    void peerJoined(const std::string& peerNick) override { deliver(dumpCompact(peerJoinedMessage(peerNick))); }
    void peerLeft() override { deliver(dumpCompact(peerLeftMessage())); }
    void peerAway() override {
        if (resume)
            deliver(dumpCompact(peerAwayMessage()));
    }
    void peerBack() override {
        if (resume)
            deliver(dumpCompact(peerBackMessage()));
    }
    bool expired() const override { return connection.expired(); }

    const WeakSocket connection; // the state holds the only strong reference
    const std::string ip;        // may be empty
    const std::string key;       // what per-address limits count it under (limitKey); empty when ip is
    std::string room;
    std::atomic<int> slot{-1}; // -1: in no room
    std::string nick;

    // Resumption (under the state's lock): the client asked for it, the hash of its current session token
    // (empty: none), and whether a resume with that token took its slot over while the connection was open.
    bool resume = false;
    std::string sessionHash;
    bool superseded = false;

    // When rooms are shared between instances (all under the state's lock): the client's handle there,
    // a join the shared registry has not answered yet (or that waits for it), and whether the connection has
    // closed meanwhile.
    uint64_t sharedId = 0;
    bool joinPending = false;
    bool closed = false;
    // Until when its join may wait for the registry to be reachable again (set as the join comes).
    std::chrono::steady_clock::time_point joinDeadline;
};

} // namespace murva
