// What the server has counted since it started, for the application's metrics.
#pragma once

#include <cstdint>

namespace rtc {

struct TransportCounters {
    uint64_t accepted = 0;     // TCP connections accepted
    uint64_t upgraded = 0;     // WebSocket upgrades completed (each reached onClient)
    uint64_t httpAnswered = 0; // plain HTTP requests the application's handler answered

    // Connections that ended before an upgrade or an answer, by why.
    struct Refused {
        uint64_t badHandshake = 0;     // not a valid upgrade (incl. the 426 answer), TLS failure, request body,
                                       // or the peer left before finishing its request
        uint64_t handshakeTimeout = 0; // PROXY header, TLS and request not done within the handshake limit
        uint64_t headerTooLarge = 0;   // answered 431
        uint64_t proxyMissing = 0;     // the bytes did not start with a PROXY header
        uint64_t proxyBad = 0;         // a malformed or truncated PROXY header
        uint64_t proxyUntrusted = 0;   // a peer that may not send a PROXY header
        uint64_t vetoed = 0;           // refused by the onUpgradeRequest handler
        uint64_t pendingPerClient = 0; // over maxPendingPerClient
        uint64_t pendingTotal = 0;     // over maxPending
    } refused;

    // Upgraded connections by the close code they ended with: the one the server sent when it closed first,
    // else the peer's; 1006 when no close frame was exchanged (peer vanished, idle timeout, server stop).
    struct Closes {
        uint64_t normal = 0;         // 1000
        uint64_t goingAway = 0;      // 1001
        uint64_t abnormal = 0;       // 1006
        uint64_t invalidPayload = 0; // 1007
        uint64_t policy = 0;         // 1008
        uint64_t tooBig = 0;         // 1009
        uint64_t internalError = 0;  // 1011
        uint64_t other = 0;          // any other code, or a close frame without one
    } closes;
    uint64_t idleTimeouts = 0; // upgraded connections closed after a silent idle timeout (counted under 1006 too)
};

} // namespace rtc
