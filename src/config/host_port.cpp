// host:port read and written.
#include "config/host_port.hpp"

namespace murva {

std::string HostPort::text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<HostPort> parseHostPort(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    if (!host.empty() && host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return std::nullopt;
        host = host.substr(1, host.size() - 2);
    } else if (host.find_first_of("[]:") != std::string_view::npos) {
        return std::nullopt; // an IPv6 address without brackets: where its port starts is a guess
    }
    if (host.empty() || host.find_first_of(" \t/@") != std::string_view::npos || port.empty() || port.size() > 5)
        return std::nullopt;
    unsigned value = 0;
    for (const char c : port) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value < 1 || value > 65535)
        return std::nullopt;
    return HostPort{std::string(host), static_cast<uint16_t>(value)};
}

} // namespace murva
