// Where one Redis server is and how to log in to it, read from a redis:// URL.
#pragma once

#include <cstdint>
#include <string>

namespace murva {

struct RedisEndpoint {
    std::string host; // a name, an IPv4 address or an IPv6 address (without brackets)
    uint16_t port = 6379;
    int database = 0;
    std::string username, password; // empty password: no AUTH; empty username: AUTH with the password alone
};

// redis://[[username]:password@]host[:port][/db], IPv6 hosts in brackets, username and password percent-encoded
// where they hold reserved characters. Throws std::invalid_argument saying what is wrong with anything else,
// including other schemes (rediss:// would need TLS, which this client does not speak).
RedisEndpoint parseRedisUrl(const std::string& url);

} // namespace murva
