// Plain HTTP requests and the answers the application gives them (web page, health, metrics, refusals).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rtc {

struct HttpHeader {
    std::string name;
    std::string value;
};

struct HttpRequest {
    std::string method;                       // "GET", "HEAD", ...
    std::string target;                       // as sent: "/metrics?x=1"
    std::vector<HttpHeader> headers;          // every header line in arrival order, repeated names kept
    std::optional<std::string> remoteAddress; // as WebSocket::remoteAddress() (the PROXY header's source)

    // Values of every line named `name` (case-insensitive), in order: all X-Forwarded-For lines, say.
    std::vector<std::string> headerValues(std::string_view name) const;
    // The first line named `name`, if any.
    std::optional<std::string> header(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;                                      // outside 200..599 it is sent as 500
    std::string contentType = "text/plain; charset=utf-8"; // empty: no Content-Type
    std::string body;                                      // not sent for HEAD (its length is), nor with 204 or 304
    std::vector<HttpHeader> headers; // extra lines; Content-Length, Transfer-Encoding and Connection are the
                                     // transport's own, and lines that are not valid header text are left out
};

} // namespace rtc
