// The client IP text that per-IP limits count.
#include "signaling/client_address.hpp"

#include "signaling/ip_address.hpp"

namespace murva {

std::string clientIpFromAddress(const std::string& address) {
    if (address.empty())
        return {};
    if (address.front() == '[') {
        const auto close = address.find(']');
        if (close == std::string::npos)
            return address;
        return address.substr(1, close - 1);
    }
    const auto colon = address.rfind(':');
    if (colon == std::string::npos)
        return address;
    return address.substr(0, colon);
}

std::string limitKey(const std::string& ip, unsigned ipv6PrefixLength) {
    const auto address = parseIpAddress(ip);
    if (!address)
        return ip;
    if (!address->v6)
        return formatIpAddress(*address);
    return formatIpAddress(networkOf(*address, ipv6PrefixLength)) + "/" + std::to_string(ipv6PrefixLength);
}

} // namespace murva
