// The PROXY header parser: v1 text lines and v2 binary headers, from whatever part of them has arrived.
#include "transport/detail/proxy_header.hpp"

#include <algorithm>
#include <string>

#include <arpa/inet.h>

namespace rtc::detail {
namespace {

using Status = ProxyHeader::Status;

constexpr std::string_view v1Prefix = "PROXY ";
constexpr std::string_view v2Signature{"\r\n\r\n\0\r\nQUIT\n", 12};
constexpr std::size_t v2FixedLength = 16;

ProxyHeader result(Status status, std::size_t length = 0, std::optional<ProxySource> source = std::nullopt) {
    return {status, length, source};
}

// Decimal 0..65535 without sign or leading zeros.
std::optional<uint16_t> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text.front() == '0'))
        return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535)
        return std::nullopt;
    return static_cast<uint16_t>(value);
}

bool parseAddress(std::string_view text, bool v6, std::array<unsigned char, 16>& out) {
    if (text.empty() || text.size() > 45)
        return false;
    const std::string terminated(text); // inet_pton reads up to a NUL
    return inet_pton(v6 ? AF_INET6 : AF_INET, terminated.c_str(), out.data()) == 1;
}

// "PROXY TCP4 src dst sport dport\r\n", fields separated by exactly one space; "PROXY UNKNOWN..." ignores the
// rest of its line.
ProxyHeader parseV1(std::string_view bytes) {
    const std::size_t prefix = std::min(bytes.size(), v1Prefix.size());
    if (bytes.substr(0, prefix) != v1Prefix.substr(0, prefix))
        return result(Status::NotProxy);
    const std::size_t window = std::min(bytes.size(), maxProxyV1Length);
    const std::size_t cr = bytes.substr(0, window).find('\r');
    if (bytes.substr(0, std::min(window, cr)).find('\n') != std::string_view::npos)
        return result(Status::Malformed); // a bare line feed
    if (cr == std::string_view::npos)
        return result(bytes.size() >= maxProxyV1Length ? Status::Malformed : Status::NeedMore);
    if (cr + 2 > maxProxyV1Length)
        return result(Status::Malformed);
    if (cr + 1 == bytes.size())
        return result(Status::NeedMore);
    if (bytes[cr + 1] != '\n' || cr < v1Prefix.size())
        return result(Status::Malformed);
    const std::size_t length = cr + 2;

    std::string_view line = bytes.substr(v1Prefix.size(), cr - v1Prefix.size());
    for (const char c : line)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            return result(Status::Malformed);
    if (line == "UNKNOWN" || line.substr(0, 8) == "UNKNOWN ")
        return result(Status::Done, length);

    std::string_view fields[5];
    std::size_t count = 0;
    for (bool more = true; more;) {
        if (count == 5)
            return result(Status::Malformed); // a sixth field, even an empty one
        const std::size_t space = line.find(' ');
        fields[count++] = line.substr(0, space);
        more = space != std::string_view::npos;
        if (more)
            line.remove_prefix(space + 1);
    }
    if (count != 5)
        return result(Status::Malformed);
    if (fields[0] != "TCP4" && fields[0] != "TCP6")
        return result(Status::Malformed);
    ProxySource source;
    source.v6 = fields[0] == "TCP6";
    std::array<unsigned char, 16> destination{};
    const auto sourcePort = parsePort(fields[3]);
    if (!parseAddress(fields[1], source.v6, source.address) || !parseAddress(fields[2], source.v6, destination) ||
        !sourcePort || !parsePort(fields[4]))
        return result(Status::Malformed);
    source.port = *sourcePort;
    return result(Status::Done, length, source);
}

// The 12-byte signature, version 2 with LOCAL or PROXY, family and transport, a 16-bit length, then the
// addresses and TLVs (which are skipped).
ProxyHeader parseV2(std::string_view bytes) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const std::size_t prefix = std::min(bytes.size(), v2Signature.size());
    if (bytes.substr(0, prefix) != v2Signature.substr(0, prefix))
        return result(Status::NotProxy);
    if (bytes.size() <= 12)
        return result(Status::NeedMore);
    const unsigned command = at(12);
    if (command != 0x20 && command != 0x21) // version 2, LOCAL or PROXY
        return result(Status::Malformed);
    const bool local = command == 0x20;
    if (bytes.size() <= 13)
        return result(Status::NeedMore);
    // A LOCAL header's family is ignored. Datagram families make no sense on a stream connection.
    const unsigned family = at(13);
    std::size_t addressLength = 0;
    if (!local) {
        switch (family) {
        case 0x00: break;                      // unspecified
        case 0x11: addressLength = 12; break;  // TCP over IPv4
        case 0x21: addressLength = 36; break;  // TCP over IPv6
        case 0x31: addressLength = 216; break; // UNIX stream
        default: return result(Status::Malformed);
        }
    }
    if (bytes.size() < v2FixedLength)
        return result(Status::NeedMore);
    const std::size_t length = v2FixedLength + (static_cast<std::size_t>(at(14)) << 8 | at(15));
    if (length > maxProxyV2Length || length - v2FixedLength < addressLength)
        return result(Status::Malformed);
    if (bytes.size() < length)
        return result(Status::NeedMore);
    if (local || (family != 0x11 && family != 0x21))
        return result(Status::Done, length);

    ProxySource source;
    source.v6 = family == 0x21;
    const std::size_t addressSize = source.v6 ? 16 : 4;
    for (std::size_t i = 0; i < addressSize; ++i)
        source.address[i] = at(v2FixedLength + i);
    const std::size_t portAt = v2FixedLength + 2 * addressSize;
    source.port = static_cast<uint16_t>(at(portAt) << 8 | at(portAt + 1));
    return result(Status::Done, length, source);
}

} // namespace

ProxyHeader parseProxyHeader(std::string_view bytes) {
    if (bytes.empty())
        return result(Status::NeedMore);
    if (bytes.front() == 'P')
        return parseV1(bytes);
    if (bytes.front() == '\r')
        return parseV2(bytes);
    return result(Status::NotProxy);
}

} // namespace rtc::detail
