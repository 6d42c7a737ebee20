// The registry scripts' replies read as values: what a join got, and whom a restored member now shares its room
// with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cluster/redis_reply.hpp"
#include "signaling/shared_rooms.hpp"

namespace murva {

// The other member of a room as the registry knows it.
struct RegistryPeer {
    std::string instance;
    uint64_t id = 0; // its sharedId on that instance; 0 when the registry held no number
    std::string nick;
    std::string session; // the hash of its session token, when its slot is held ("~")
};

struct JoinAnswer {
    ClaimOutcome outcome = ClaimOutcome::Unavailable; // an error, or anything not from the script: Unavailable
    std::optional<RegistryPeer> peer;                 // when the room had another member
    bool nickRefused = false; // the peer's nick is not one an instance writes (it was cleared): count it
    bool giveBack = false;    // a slot got in a registry that has been restored since: it must be freed
};

// The join script's reply. `stale`: the join was asked before a loss of Redis; whatever it got is no longer
// this instance's (the restore did not include it), so it is Unavailable, and a slot it got is given back.
JoinAnswer readJoinReply(const RedisReply& reply, bool stale);

// The restore script's reply: the member it now shares its room with, when the room was put back with one
// waiting elsewhere; none when it was put back alone or left out (its slots were taken meanwhile).
std::optional<RegistryPeer> readRestoreReply(const RedisReply& reply);
// Whether the restore script put the member back (alone or not): false when it was left out, or on an error.
bool restorePlaced(const RedisReply& reply);

// The resume script's reply: empty when nothing was resumed.
std::optional<SharedResume> readResumeReply(const RedisReply& reply);
// Its element 2 on: the partner, when there is one (an empty instance: none).
std::optional<RegistryPeer> resumedPeer(const RedisReply& reply);

} // namespace murva
