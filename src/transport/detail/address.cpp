// Text forms of endpoint addresses as remoteAddress() reports them.
#include "transport/detail/address.hpp"

namespace rtc::detail {

std::string formatEndpoint(const boost::asio::ip::tcp::endpoint& endpoint) {
    auto address = endpoint.address();
    const std::string port = std::to_string(endpoint.port());
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    std::string text;
    if (address.is_v4()) {
        text = address.to_string();
    } else {
        text = '[';
        text += address.to_string();
        text += ']';
    }
    text += ':';
    text += port;
    return text;
}

} // namespace rtc::detail
