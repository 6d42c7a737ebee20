// A URL as it may be shown: its user information (which holds a password) replaced by a mark.
#pragma once

#include <string>

namespace murva {

// Whatever precedes the last '@' after the scheme is replaced by `mark`, even in a URL too malformed to say where
// the user information ends, or one without a scheme.
inline std::string hideUserInfo(const std::string& url, const std::string& mark) {
    const auto at = url.rfind('@');
    if (at == std::string::npos)
        return url;
    const auto scheme = url.find("://");
    const auto start = scheme != std::string::npos && scheme < at ? scheme + 3 : 0;
    return url.substr(0, start) + mark + url.substr(at);
}

} // namespace murva
