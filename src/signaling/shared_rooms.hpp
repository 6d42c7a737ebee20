// Rooms shared between instances of the service: the seam through which a join, a leave and the state's
// placement of members are decided by a registry all instances use, rather than by this server alone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

// What a resume through the registry got: the slot back (with the member's nick from its first join, where its
// partner is, and what was kept for it), or nothing.
struct SharedResume {
    bool resumed = false;
    bool unavailable = false; // not resumed because the registry could not be asked or did not answer
    std::string nick;
    SharedClaim claim; // Joined, with the partner as for a join
    std::vector<std::string> heldFrames;
};

class SharedRooms {
public:
    virtual ~SharedRooms() = default;

    // Asks for a slot in room `code` for `client` (which gets its sharedId here; a sessionHash it has makes the
    // slot one that can be held). Called under the state's lock and only queues; `done` runs later, exactly
    // once, on another thread, under the state's lock.
    virtual void claim(const std::shared_ptr<Client>& client, const std::string& code, const std::string& nick,
                       std::function<void(const SharedClaim&)> done) = 0;

    // The client's slot is free again: it left, or its connection closed before its claim was answered.
    // Called under the state's lock; only queues.
    virtual void vacate(const Client& client) = 0;

    // The connection of `client`, which may resume, dropped: its slot is held for `graceMs` in the registry
    // instead of freed. Under the state's lock; only queues.
    virtual void hold(Client& client, uint32_t graceMs) = 0;

    // Gives `client` the slot held in room `code` for the session whose token hashes to `hash`; the slot's
    // session is `nextHash` from then on. Like claim: `done` runs once, later, under the state's lock.
    virtual void resume(const std::shared_ptr<Client>& client, const std::string& code, const std::string& hash,
                        const std::string& nextHash, std::function<void(const SharedResume&)> done) = 0;

    // Whether joins can be decided now (the registry is reachable).
    virtual bool available() const = 0;

    // `callback` runs each time the registry becomes available again after it was not, on the registry's thread
    // under the state's lock. Set once, before the first join.
    virtual void onAvailable(std::function<void()> callback) = 0;
};

} // namespace murva
