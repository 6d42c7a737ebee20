#include "transport/detail/address.hpp"

namespace rtc::detail {

std::string formatEndpoint(const boost::asio::ip::tcp::endpoint& endpoint) {
    auto address = endpoint.address();
    const std::string port = std::to_string(endpoint.port());
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    if (address.is_v4())
        return address.to_string() + ":" + port;
    return "[" + address.to_string() + "]:" + port;
}

} // namespace rtc::detail
