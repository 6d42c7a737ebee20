// Rooms shared between instances of the service: the seam through which a join, a leave and the state's
// placement of members are decided by a registry all instances use, rather than by this server alone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "signaling/client.hpp"

namespace murva {

// How a claim of a room slot ended, whether this server or the shared registry decided it. Unavailable: the
// registry could not be asked or did not answer.
enum class ClaimOutcome { Joined, RoomLimitReached, RoomFull, Unavailable };

struct SharedClaim {
    ClaimOutcome outcome = ClaimOutcome::Unavailable;
    std::shared_ptr<Member> remotePeer; // the other member, when it is connected to another instance
    std::string remotePeerNick;
    uint64_t localPeerId = 0; // the other member's sharedId, when it is connected here; 0: none
};

class SharedRooms {
public:
    virtual ~SharedRooms() = default;

    // Asks for a slot in room `code` for `client` (which gets its sharedId here). Called under the state's
    // lock and only queues; `done` runs later, exactly once, on another thread, under the state's lock.
    virtual void claim(const std::shared_ptr<Client>& client, const std::string& code, const std::string& nick,
                       std::function<void(const SharedClaim&)> done) = 0;

    // The client's slot is free again: it left, or its connection closed before its claim was answered.
    // Called under the state's lock; only queues.
    virtual void vacate(const Client& client) = 0;

    // Whether joins can be decided now (the registry is reachable).
    virtual bool available() const = 0;
};

} // namespace murva
