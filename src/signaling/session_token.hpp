// Session tokens for resumption: fresh random ones and the hash under which a held slot is found.
#pragma once

#include <string>

namespace murva {

// 144 random bits, base64url without padding (24 characters). Throws std::runtime_error when the random source
// fails.
std::string newSessionToken();

// The SHA-256 of `token` in hex: what the server keeps, so a leaked table of held slots resumes nothing.
std::string sessionTokenHash(const std::string& token);

} // namespace murva
