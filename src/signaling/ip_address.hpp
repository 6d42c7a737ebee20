// IP addresses as the proxy and rate-limit code compares them: strict parsing and canonical text.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace murva {

// An IPv4 or IPv6 address. IPv4-mapped IPv6 addresses (::ffff:a.b.c.d) are held as the IPv4 address, so one
// client has one key whichever way a socket or a proxy wrote it.
struct IpAddress {
    bool v6 = false;
    std::array<uint8_t, 16> bytes{}; // IPv4 uses the first 4

    std::size_t size() const { return v6 ? 16 : 4; }
    friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

// Exactly one address and nothing else: dotted-quad IPv4 (four decimal parts, no leading zeros) or IPv6 text;
// no brackets, port, zone, prefix or spaces. Mapped addresses come back as IPv4.
std::optional<IpAddress> parseIpAddress(std::string_view text);

// As parseIpAddress, but an IPv6 address is kept as it is even when it maps an IPv4 one.
std::optional<IpAddress> parseIpAddressUnmapped(std::string_view text);

// ::ffff:a.b.c.d as a.b.c.d; anything else unchanged.
IpAddress unmapIpv4(const IpAddress& address);

// The text inet_ntop prints (IPv4 plain, IPv6 compressed lower-case).
std::string formatIpAddress(const IpAddress& address);

// The address with every bit below the first `prefix` bits cleared.
IpAddress networkOf(IpAddress address, unsigned prefix);

} // namespace murva
