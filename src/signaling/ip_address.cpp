#include "signaling/ip_address.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>

namespace murva {

namespace {

// Longest text either family can take, so nothing longer reaches inet_pton and the copy below stays small.
constexpr std::size_t maxAddressText = INET6_ADDRSTRLEN - 1;

// glibc's inet_pton already refuses most oddities, but not every libc refuses leading zeros ("01.2.3.4", which
// some parsers read as octal), so the dotted quad is checked here as well.
bool isStrictDottedQuad(std::string_view text) {
    int parts = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = std::min(text.find('.', start), text.size());
        const std::string_view part = text.substr(start, dot - start);
        if (part.empty() || part.size() > 3 || (part.size() > 1 && part.front() == '0'))
            return false;
        if (!std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        ++parts;
        if (dot == text.size())
            return parts == 4;
        start = dot + 1;
    }
}

bool isIpv6Character(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

} // namespace

std::optional<IpAddress> parseIpAddressUnmapped(std::string_view text) {
    // Checked before the copy: inet_pton reads up to a NUL, so "1.2.3.4\0junk" must not get that far.
    if (text.empty() || text.size() > maxAddressText)
        return std::nullopt;
    char buffer[INET6_ADDRSTRLEN] = {};
    std::memcpy(buffer, text.data(), text.size());

    IpAddress address;
    if (text.find(':') == std::string_view::npos) {
        if (!isStrictDottedQuad(text) || inet_pton(AF_INET, buffer, address.bytes.data()) != 1)
            return std::nullopt;
        return address;
    }
    if (!std::all_of(text.begin(), text.end(), isIpv6Character))
        return std::nullopt;
    const std::size_t dot = text.find('.');
    if (dot != std::string_view::npos && !isStrictDottedQuad(text.substr(text.rfind(':') + 1)))
        return std::nullopt;
    if (inet_pton(AF_INET6, buffer, address.bytes.data()) != 1)
        return std::nullopt;
    address.v6 = true;
    return address;
}

std::optional<IpAddress> parseIpAddress(std::string_view text) {
    auto address = parseIpAddressUnmapped(text);
    if (address)
        *address = unmapIpv4(*address);
    return address;
}

IpAddress unmapIpv4(const IpAddress& address) {
    static constexpr uint8_t mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (!address.v6 || std::memcmp(address.bytes.data(), mappedPrefix, sizeof mappedPrefix) != 0)
        return address;
    IpAddress v4;
    std::copy_n(address.bytes.begin() + 12, 4, v4.bytes.begin());
    return v4;
}

IpAddress networkOf(IpAddress address, unsigned prefix) {
    for (std::size_t i = 0; i < address.size(); ++i) {
        const unsigned bitsKept = prefix > i * 8 ? prefix - static_cast<unsigned>(i * 8) : 0;
        if (bitsKept < 8)
            address.bytes[i] &= static_cast<uint8_t>(0xff00u >> bitsKept);
    }
    return address;
}

std::string formatIpAddress(const IpAddress& address) {
    char buffer[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes.data(), buffer, sizeof buffer) == nullptr)
        return {}; // cannot happen with this buffer size
    return buffer;
}

} // namespace murva
