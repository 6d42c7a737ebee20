// Where one Redis server is and how to log in to it, read from a redis:// URL.
#pragma once

#include <cstdint>
#include <string>

namespace murva {

struct RedisEndpoint {
    std::string host; // a name, an IPv4 address or an IPv6 address (without brackets)
    uint16_t port = 6379;
    int database = 0;
    // Empty username: AUTH with the password alone, or no AUTH without one. A username is always sent (AUTH user
    // password, the password possibly empty), so that a wrong or missing password is refused at once rather
    // than the connection running as the default user.
    std::string username, password;
    bool tls = false; // rediss://
};

// redis[s]://[username[:password]@]host[:port][/db] or redis[s]://[:password@]..., IPv6 hosts in brackets,
// username and password percent-encoded where they hold reserved characters. rediss:// is the same over TLS.
// Throws std::invalid_argument saying what is wrong with anything else.
RedisEndpoint parseRedisUrl(const std::string& url);

} // namespace murva
