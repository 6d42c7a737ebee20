// How join and relay reach the other member of a room, wherever that member's connection lives.
#pragma once

#include <string>

namespace murva {

// A room's slot holds one of these. Today every member is a connection of this server (Client); a member
// connected to another instance implements the same two calls.
class Member {
public:
    virtual ~Member() = default;

    // Queues one text frame for the member. Called under the state's lock, so it never blocks or waits on
    // the network; a member that is no longer reachable drops it.
    virtual void deliver(std::string text) = 0;

    // True once the member's connection is gone for good; its slot then counts as free.
    virtual bool expired() const = 0;
};

} // namespace murva
