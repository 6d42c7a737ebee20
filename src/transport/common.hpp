// Message types shared by the transport's public headers.
#pragma once

#include <cstddef>
#include <string>
#include <variant>
#include <vector>

namespace rtc {

using std::byte;
using binary = std::vector<std::byte>;
// A received or sent WebSocket message: the string alternative is a text frame, the bytes a binary one.
using message_variant = std::variant<binary, std::string>;

} // namespace rtc
