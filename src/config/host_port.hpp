// A server's address written as host:port ("10.0.0.5:26379", "[::1]:26379", "sentinel-a:26379").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace murva {

struct HostPort {
    std::string host; // a name, an IPv4 address or an IPv6 address (without brackets)
    uint16_t port = 0;

    bool operator==(const HostPort& other) const { return host == other.host && port == other.port; }
    bool operator!=(const HostPort& other) const { return !(*this == other); }
    std::string text() const; // host:port again, IPv6 in brackets
};

// Empty for anything but a non-empty host and a port from 1 to 65535; an IPv6 host needs its brackets.
std::optional<HostPort> parseHostPort(std::string_view text);

} // namespace murva
