// Which peers are our own proxies, and the client address behind them taken from X-Forwarded-For.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "signaling/ip_address.hpp"

namespace murva {

class TrustedProxies {
public:
    // Trusts nobody: every peer is the client.
    TrustedProxies() = default;

    // Entries are addresses or CIDR ranges: "127.0.0.1", "10.0.0.0/8", "::1", "fd00::/8", "::ffff:10.0.0.0/104".
    // Bits below the prefix are ignored ("10.1.2.3/8" is 10.0.0.0/8). An IPv4 address only ever matches an IPv4
    // range (plain, or mapped with a prefix of at least 96), so "::/0" does not trust every IPv4 peer.
    // On the first bad entry: nullopt, and `error` names it and says what is wrong.
    static std::optional<TrustedProxies> parse(const std::vector<std::string>& entries, std::string& error);

    bool empty() const { return ranges_.empty(); }
    bool contains(const IpAddress& address) const;

private:
    struct Range {
        IpAddress network; // bits below the prefix are zero
        unsigned prefix = 0;
    };
    std::vector<Range> ranges_;
};

// X-Forwarded-For entries walked from the right, at most this many.
inline constexpr int maxForwardedHops = 16;

// The client's address for a connection from `peerIp` whose request carried `forwardedForLines` (every
// X-Forwarded-For header line, in order; empty when there is none), as canonical text (formatIpAddress).
//
// Only a trusted peer's header counts. Its lines are read as one comma-separated list, walked from the right;
// trusted entries are passed over and the first untrusted one is the client. When every entry is trusted the
// leftmost is. What lies left of the client is never looked at: that part is whatever the client chose to send.
// Entries are "a.b.c.d", "a.b.c.d:port", "v6", "[v6]", "[v6]:port", with spaces and tabs around them allowed;
// empty items are skipped, as HTTP lists allow. A malformed entry within the walk, or more than
// maxForwardedHops trusted entries, means a proxy chain we cannot read: the result is then the peer itself.
// A peer that is no address at all is returned as it came.
std::string resolveClientAddress(std::string_view peerIp, const std::vector<std::string>& forwardedForLines,
                                 const TrustedProxies& trusted);

} // namespace murva
