// Between Beast's HTTP messages and the transport's public HttpRequest / HttpResponse.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "transport/http.hpp"

namespace rtc::detail {

using BeastRequest = boost::beast::http::request<boost::beast::http::empty_body>;
using BeastResponse = boost::beast::http::response<boost::beast::http::string_body>;

// Beast's request parser, also noting the order the header lines came in: Beast's fields keep lines of one
// name in order but put each after the last line of its name, so lines of different names lose theirs.
class RequestParser final : public boost::beast::http::request_parser<boost::beast::http::empty_body> {
public:
    RequestParser() { lines.reserve(16); }

    std::vector<BeastRequest::const_iterator> lines; // into get(), in arrival order

private:
    void on_field_impl(boost::beast::http::field name, boost::beast::string_view nameString,
                       boost::beast::string_view value, boost::beast::error_code& ec) override;
};

HttpRequest toHttpRequest(const RequestParser& parser, const std::optional<std::string>& remoteAddress);

// The response as it goes out for a request of this HTTP version and method: HEAD gets the Content-Length
// without the body; Connection tells whether the server keeps the connection for another request.
BeastResponse toBeastResponse(HttpResponse response, unsigned version, bool head, bool keepAlive);

// The transport's own short answers (404, 413, 426, 431).
HttpResponse plainAnswer(int status, std::string text);

} // namespace rtc::detail
