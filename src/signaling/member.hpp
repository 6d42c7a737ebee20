// How join and relay reach the other member of a room, wherever that member's connection lives.
#pragma once

#include <string>

namespace murva {

// A room's slot holds one of these: a connection of this server (Client), or a member connected to another
// instance of the service (RemoteMember, when rooms are shared).
class Member {
public:
    virtual ~Member() = default;

    // Queues one text frame for the member. Called under the state's lock, so it never blocks or waits on
    // the network; a member that is no longer reachable drops it.
    virtual void deliver(std::string text) = 0;

    // The room's other slot was taken by a member called `nick` / was freed. Under the lock, like deliver.
    virtual void peerJoined(const std::string& nick) = 0;
    virtual void peerLeft() = 0;
    // The other member's connection dropped and its slot is held for it / it resumed. Only members that asked
    // to resume are told; the others see nothing until the held slot ends.
    virtual void peerAway() {}
    virtual void peerBack() {}

    // True once the member's connection is gone for good; its slot then counts as free.
    virtual bool expired() const = 0;
};

} // namespace murva
