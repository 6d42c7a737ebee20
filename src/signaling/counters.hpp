// The signaling counts that metrics report: relaxed atomics, bumped on the hot path without a lock of their own.
#pragma once

#include <atomic>
#include <cstdint>

namespace murva {

using Counter = std::atomic<uint64_t>;

inline void bump(Counter& counter, uint64_t by = 1) { counter.fetch_add(by, std::memory_order_relaxed); }
inline uint64_t read(const Counter& counter) { return counter.load(std::memory_order_relaxed); }

struct SignalingCounters {
    Counter admitted;
    Counter refusedMaxConnections;
    Counter refusedPerIp;

    Counter joinsOk;
    Counter joinsFull;
    Counter joinsUnauthorized;
    Counter joinsRoomLimit;
    Counter joinsCodeTooLong;
    Counter joinsRateLimited;
    Counter joinsUnavailable; // rooms are shared and the registry cannot be reached
    Counter tokenFailures[5]; // refused join tokens (also in joinsUnauthorized), by TokenFailure

    Counter resumesOk;       // a slot resumed by a new connection
    Counter resumesExpired;  // a held slot whose grace ran out
    Counter resumesOverflow; // a held slot given up: more was sent to it than it keeps

    Counter relayed;              // frames delivered to the other member
    Counter relayedBytes;         // their bytes as delivered
    Counter droppedMalformed;     // binary, not one JSON value, or not a usable object
    Counter droppedNotJoined;     // anything but a join from a client in no room
    Counter droppedNoPeer;        // sent while alone in the room
    Counter droppedRelayFiltered; // relay candidates with allow_turn false

    // Rooms shared between instances: messages from the Redis channel dropped.
    Counter channelMalformed;   // unreadable, or holding a nick or frame no instance sends
    Counter channelMisdirected; // about another room, or not from the member's partner

    // Redis unreachable for a while (a failover, a restart): joins that waited for it, pairs across instances
    // kept meanwhile, and their frames for the other instance kept meanwhile.
    Counter failoverJoinsServed;   // run once Redis was back
    Counter failoverJoinsRefused;  // the wait ran out
    Counter failoverPairsKept;     // went on once both instances were back
    Counter failoverPairsEnded;    // ended with peer-left (the wait ran out, the partner is gone)
    Counter failoverFramesSent;    // sent once the pair went on
    Counter failoverFramesDropped; // past the bound, or their pair ended
};

} // namespace murva
