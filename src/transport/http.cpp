// Header look-ups of HttpRequest.
#include "transport/http.hpp"

#include <algorithm>
#include <cctype>

namespace rtc {
namespace {

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

std::vector<std::string> HttpRequest::headerValues(std::string_view name) const {
    std::vector<std::string> values;
    for (const auto& h : headers)
        if (sameName(h.name, name))
            values.push_back(h.value);
    return values;
}

std::optional<std::string> HttpRequest::header(std::string_view name) const {
    for (const auto& h : headers)
        if (sameName(h.name, name))
            return h.value;
    return std::nullopt;
}

} // namespace rtc
