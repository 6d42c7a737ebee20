#include "signaling/trusted_proxies.hpp"

#include <cstdio>

namespace murva {

namespace {

// Configuration text may hold anything; the error shows it without control bytes.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f || c == '"' || c == '\\') {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            out += escape;
        } else {
            out.push_back(c);
        }
    }
    return out + "\"";
}

bool isDigits(std::string_view text) {
    for (const char c : text)
        if (c < '0' || c > '9')
            return false;
    return !text.empty();
}

// Digits only, at most `maxDigits` of them, at most `max`.
std::optional<unsigned> parseBoundedNumber(std::string_view text, std::size_t maxDigits, unsigned max) {
    if (!isDigits(text) || text.size() > maxDigits)
        return std::nullopt;
    unsigned value = 0;
    for (const char c : text)
        value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > max)
        return std::nullopt;
    return value;
}

std::string_view trimSpaceAndTab(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool isPort(std::string_view text) { return parseBoundedNumber(text, 5, 65535).has_value(); }

// One X-Forwarded-For entry, already trimmed and not empty.
std::optional<IpAddress> parseForwardedEntry(std::string_view entry) {
    if (entry.front() == '[') {
        const auto close = entry.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        const std::string_view rest = entry.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !isPort(rest.substr(1))))
            return std::nullopt;
        const auto address = parseIpAddressUnmapped(entry.substr(1, close - 1));
        if (!address || !address->v6) // brackets are for IPv6 only
            return std::nullopt;
        return unmapIpv4(*address);
    }
    const auto colon = entry.find(':');
    if (colon != std::string_view::npos && entry.find(':', colon + 1) == std::string_view::npos) {
        // One colon: IPv4 with a port. Two or more: bare IPv6, which cannot carry a port.
        if (!isPort(entry.substr(colon + 1)))
            return std::nullopt;
        const auto address = parseIpAddressUnmapped(entry.substr(0, colon));
        if (!address || address->v6)
            return std::nullopt;
        return address;
    }
    return parseIpAddress(entry);
}

} // namespace

std::optional<TrustedProxies> TrustedProxies::parse(const std::vector<std::string>& entries, std::string& error) {
    TrustedProxies proxies;
    for (const std::string& entry : entries) {
        const auto slash = entry.find('/');
        const std::string_view addressText = std::string_view(entry).substr(0, slash);
        auto address = parseIpAddressUnmapped(addressText);
        if (!address) {
            error = quoted(entry) + " is not an IPv4 or IPv6 address or range (e.g. 10.0.0.0/8, fd00::/8, ::1)";
            return std::nullopt;
        }
        const unsigned bits = static_cast<unsigned>(address->size() * 8);
        unsigned prefix = bits;
        if (slash != std::string::npos) {
            const auto parsed = parseBoundedNumber(std::string_view(entry).substr(slash + 1), 3, bits);
            if (!parsed) {
                error =
                    quoted(entry) + ": the prefix length after '/' must be a number from 0 to " + std::to_string(bits);
                return std::nullopt;
            }
            prefix = *parsed;
        }
        // A mapped range of at least /96 is an IPv4 range; a shorter one stays IPv6 (it spans more than IPv4).
        const IpAddress unmapped = unmapIpv4(*address);
        if (!unmapped.v6 && address->v6 && prefix >= 96) {
            *address = unmapped;
            prefix -= 96;
        }
        *address = networkOf(*address, prefix);
        proxies.ranges_.push_back({*address, prefix});
    }
    return proxies;
}

bool TrustedProxies::contains(const IpAddress& address) const {
    for (const Range& range : ranges_) {
        if (range.network.v6 != address.v6)
            continue;
        if (networkOf(address, range.prefix) == range.network)
            return true;
    }
    return false;
}

std::string resolveClientAddress(std::string_view peerIp, const std::vector<std::string>& forwardedForLines,
                                 const TrustedProxies& trusted) {
    const auto peer = parseIpAddress(peerIp);
    if (!peer)
        return std::string(peerIp);
    const std::string peerText = formatIpAddress(*peer);
    if (!trusted.contains(*peer))
        return peerText;

    std::optional<IpAddress> leftmostTrusted;
    int walked = 0;
    for (auto line = forwardedForLines.rbegin(); line != forwardedForLines.rend(); ++line) {
        const std::string_view text = *line;
        std::size_t end = text.size();
        while (true) {
            const auto comma = end == 0 ? std::string_view::npos : text.rfind(',', end - 1);
            const std::size_t start = comma == std::string_view::npos ? 0 : comma + 1;
            const std::string_view item = trimSpaceAndTab(text.substr(start, end - start));
            if (!item.empty()) {
                if (walked == maxForwardedHops)
                    return peerText;
                ++walked;
                const auto address = parseForwardedEntry(item);
                if (!address)
                    return peerText;
                if (!trusted.contains(*address))
                    return formatIpAddress(*address);
                leftmostTrusted = address;
            }
            if (comma == std::string_view::npos)
                break;
            end = comma;
        }
    }
    return leftmostTrusted ? formatIpAddress(*leftmostTrusted) : peerText;
}

} // namespace murva
