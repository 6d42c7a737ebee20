// Session tokens: OpenSSL's random source and SHA-256.
#include "signaling/session_token.hpp"

#include <stdexcept>

#include <openssl/rand.h>
#include <openssl/sha.h>

namespace murva {

namespace {

constexpr int tokenBytes = 18; // a multiple of 3: base64 without padding

} // namespace

std::string newSessionToken() {
    unsigned char bytes[tokenBytes];
    if (RAND_bytes(bytes, tokenBytes) != 1)
        throw std::runtime_error("no random bytes for a session token");
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string token;
    for (int i = 0; i < tokenBytes; i += 3) {
        const unsigned group = (unsigned(bytes[i]) << 16) | (unsigned(bytes[i + 1]) << 8) | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            token += alphabet[(group >> shift) & 0x3f];
    }
    return token;
}

std::string sessionTokenHash(const std::string& token) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(token.data()), token.size(), digest);
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
    return text;
}

} // namespace murva
