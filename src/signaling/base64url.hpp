// base64url without padding (RFC 7515, section 2), the encoding of every part of a join token and of JWK numbers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace murva {

// The bytes `text` encodes; empty when it holds padding, a character outside the alphabet, or a length no
// encoding has. Leftover bits must be zero, so one token has one spelling.
std::optional<std::string> decodeBase64Url(std::string_view text);

} // namespace murva
