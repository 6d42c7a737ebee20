// The client IP text that per-IP limits count: the remote address without its port.
#pragma once

#include <string>

namespace murva {

// "[v6]:port" -> "v6", "v4:port" -> "v4"; anything unexpected is used as it is (the text is opaque).
std::string clientIpFromAddress(const std::string& remoteAddress);

// What per-address limits count a client IP under: an IPv4 address as it is, an IPv6 one by its network of
// `ipv6PrefixLength` bits ("2001:db8:1:2::/64"), since one IPv6 client usually holds a whole /64. Text that is
// no address is its own key.
std::string limitKey(const std::string& ip, unsigned ipv6PrefixLength);

} // namespace murva
