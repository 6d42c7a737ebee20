// Beast's request parser and response, to and from the transport's public HTTP types; unsafe header lines left out.
#include "transport/detail/http_message.hpp"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <string_view>

namespace rtc::detail {
namespace {

namespace http = boost::beast::http;

bool isTokenChar(unsigned char c) {
    static constexpr std::string_view extra = "!#$%&'*+-.^_`|~";
    return std::isalnum(c) || extra.find(static_cast<char>(c)) != std::string_view::npos;
}

bool isValidName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return isTokenChar(c); });
}

// No line breaks or other control characters (tabs are fine): a value cannot start a header line of its own.
bool isValidValue(std::string_view value) {
    return std::all_of(value.begin(), value.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u == '\t' || (u >= 0x20 && u != 0x7F);
    });
}

// Lines that decide how the message is framed belong to the transport.
bool isFramingField(std::string_view name) {
    const auto is = [&](std::string_view other) {
        return name.size() == other.size() && std::equal(name.begin(), name.end(), other.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) == b;
               });
    };
    return is("content-length") || is("transfer-encoding") || is("connection");
}

} // namespace

void RequestParser::on_field_impl(http::field name, boost::beast::string_view nameString,
                                  boost::beast::string_view value, boost::beast::error_code&) {
    auto& fields = get();
    fields.insert(name, nameString, value);
    // The line just inserted is the last of its name.
    lines.push_back(std::prev(fields.equal_range(nameString).second));
}

HttpRequest toHttpRequest(const RequestParser& parser, const std::optional<std::string>& remoteAddress) {
    const auto& request = parser.get();
    HttpRequest out;
    out.method = std::string(request.method_string());
    out.target = std::string(request.target());
    out.headers.reserve(parser.lines.size());
    for (const auto& line : parser.lines)
        out.headers.push_back({std::string(line->name_string()), std::string(line->value())});
    out.remoteAddress = remoteAddress;
    return out;
}

BeastResponse toBeastResponse(HttpResponse response, unsigned version, bool head, bool keepAlive) {
    const int status = response.status >= 200 && response.status <= 599 ? response.status : 500;
    BeastResponse res;
    res.version(version);
    res.result(static_cast<unsigned>(status));
    if (http::int_to_status(static_cast<unsigned>(status)) == http::status::unknown)
        res.reason("Unknown");
    res.set(http::field::server, "murva-signal");
    if (!response.contentType.empty() && isValidValue(response.contentType))
        res.set(http::field::content_type, response.contentType);
    for (const auto& h : response.headers)
        if (isValidName(h.name) && isValidValue(h.value) && !isFramingField(h.name))
            res.insert(h.name, h.value);
    res.keep_alive(keepAlive);
    if (status == 204 || status == 304)
        return res; // neither has a body nor a length
    res.content_length(response.body.size());
    if (!head)
        res.body() = std::move(response.body);
    return res;
}

HttpResponse plainAnswer(int status, std::string text) {
    HttpResponse response;
    response.status = status;
    response.body = std::move(text);
    return response;
}

} // namespace rtc::detail
