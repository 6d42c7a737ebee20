// The WebSocket half of a connection, from the upgrade to its close: frames read from the thread's buffer, writes
// in batches, the closing handshake and keepalive. The opening (opening.hpp) hands it the socket at the upgrade.
#pragma once

#include <memory>

#include "transport/detail/shared.hpp"
#include "transport/detail/socket.hpp"

typedef struct ssl_st SSL;

namespace rtc::detail {

// What the opening hands over: the socket with nothing of the client's frames read from it yet, and for TLS the
// OpenSSL session whose handshake is done.
struct Upgraded {
    Socket socket;
    std::shared_ptr<Connection> connection;
    SSL* ssl = nullptr;                  // one reference, taken over; nullptr: a plain connection
    std::shared_ptr<const void> tlsKeep; // the TLS context the connection was opened under, kept as long as it lives
};

class UpgradedSession {
public:
    virtual ~UpgradedSession() = default;
    // The application has had onClient: reading starts.
    virtual void start() = 0;
    // The server stops before onClient: the connection goes without any callback.
    virtual void drop() = 0;
};

// Made on the connection's I/O thread and registered with the server at once; it does not read until start().
// nullptr when TLS cannot go on over the socket.
std::shared_ptr<UpgradedSession> makeSession(Upgraded upgraded, std::shared_ptr<Shared> shared);

} // namespace rtc::detail
