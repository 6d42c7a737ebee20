// Parses redis:// and rediss:// URLs into a RedisEndpoint; what this client cannot honour is refused with why.
#include "cluster/redis_url.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <stdexcept>
#include <string_view>

#include "config/url_user_info.hpp"
#include <arpa/inet.h>

namespace murva {
namespace {

[[noreturn]] void refuse(const std::string& url, const std::string& why) {
    throw std::invalid_argument("invalid Redis URL '" + hideUserInfo(url, "<hidden>") + "': " + why);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string percentDecode(const std::string& url, std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
        const int low = high >= 0 ? hexValue(text[i + 2]) : -1;
        if (low < 0)
            refuse(url, "a '%' in the user information must start an escape such as %40");
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

// Digits only, within [min, max]: no sign, no spaces, no trailing characters.
long parseNumber(const std::string& url, std::string_view text, long min, long max, const char* what) {
    long value = -1;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    const bool digits =
        !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        refuse(url, std::string(what) + " must be a number from " + std::to_string(min) + " to " + std::to_string(max));
    return value;
}

bool isHostNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_'; }

} // namespace

RedisEndpoint parseRedisUrl(const std::string& url) {
    std::string lowered = url.substr(0, std::min<std::size_t>(url.size(), 9));
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) { return std::tolower(c); });
    RedisEndpoint endpoint;
    std::size_t schemeSize = 0;
    if (lowered.rfind("redis://", 0) == 0) {
        schemeSize = 8;
    } else if (lowered.rfind("rediss://", 0) == 0) {
        schemeSize = 9;
        endpoint.tls = true;
    } else {
        refuse(url, "it must start with redis:// or rediss://");
    }
    std::string_view rest = std::string_view(url).substr(schemeSize);

    // The last '@' ends the user information: host, port and database never hold one, a raw password may.
    if (auto at = rest.rfind('@'); at != std::string_view::npos) {
        // "user@" alone names the user; its password comes from the environment (it stays out of the file).
        const std::string_view user = rest.substr(0, at);
        const auto colon = user.find(':');
        endpoint.username = percentDecode(url, user.substr(0, colon));
        if (colon != std::string_view::npos)
            endpoint.password = percentDecode(url, user.substr(colon + 1));
        else if (endpoint.username.empty())
            refuse(url, "the user information before '@' is empty");
        rest = rest.substr(at + 1);
    }

    std::string_view hostPart;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string_view::npos)
            refuse(url, "an IPv6 address must be closed with ']'");
        hostPart = rest.substr(1, close - 1);
        in6_addr address{};
        if (inet_pton(AF_INET6, std::string(hostPart).c_str(), &address) != 1)
            refuse(url, "'" + std::string(hostPart) + "' is not an IPv6 address");
        rest = rest.substr(close + 1);
    } else {
        const auto end = rest.find_first_of(":/");
        hostPart = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        if (rest.size() > 1 && rest.front() == ':' &&
            rest.substr(1, rest.find('/') - 1).find(':') != std::string_view::npos)
            refuse(url, "IPv6 addresses must be written in brackets, as in redis://[::1]:6379");
        if (hostPart.empty())
            refuse(url, "the host is missing");
        if (!std::all_of(hostPart.begin(), hostPart.end(), isHostNameChar))
            refuse(url, "the host '" + std::string(hostPart) + "' holds characters no host name has");
    }
    endpoint.host = std::string(hostPart);

    if (!rest.empty() && rest.front() == ':') {
        const auto end = rest.find('/');
        endpoint.port = static_cast<uint16_t>(parseNumber(url, rest.substr(1, end - 1), 1, 65535, "the port"));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    }
    if (!rest.empty() && rest.front() == '/') {
        rest = rest.substr(1);
        if (!rest.empty())
            endpoint.database = static_cast<int>(parseNumber(url, rest, 0, 1'000'000, "the database"));
        rest = {};
    }
    if (!rest.empty())
        refuse(url, "unexpected '" + std::string(rest) + "' after the host");
    return endpoint;
}

} // namespace murva
