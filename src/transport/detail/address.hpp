// Text forms of endpoints, kept apart from the I/O code so they can be checked on their own.
#pragma once

#include <cstdint>
#include <string>

#include <boost/asio/ip/tcp.hpp>

namespace rtc::detail {

// "a.b.c.d:port" for IPv4 and IPv4-mapped IPv6, "[v6%scope]:port" for IPv6.
std::string formatEndpoint(const boost::asio::ip::tcp::endpoint& endpoint);

} // namespace rtc::detail
