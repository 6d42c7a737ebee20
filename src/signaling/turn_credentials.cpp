// Signing TURN credentials: random ids, expiry times and HMAC-SHA1 over the username.
#include "signaling/turn_credentials.hpp"

#include <array>
#include <chrono>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

namespace murva {

namespace {

constexpr std::size_t idBytes = 16;

int64_t systemUnixTime() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

bool opensslRandom(unsigned char* out, std::size_t size) { return RAND_bytes(out, static_cast<int>(size)) == 1; }

std::string hex(const unsigned char* bytes, std::size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0f];
    }
    return text;
}

} // namespace

std::string turnPassword(const std::string& secret, const std::string& username) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (!HMAC(EVP_sha1(), secret.data(), static_cast<int>(secret.size()),
              reinterpret_cast<const unsigned char*>(username.data()), username.size(), digest, &digestSize))
        throw std::runtime_error("HMAC-SHA1 failed");
    std::array<unsigned char, 4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1> encoded{};
    const int length = EVP_EncodeBlock(encoded.data(), digest, static_cast<int>(digestSize));
    return std::string(reinterpret_cast<const char*>(encoded.data()), static_cast<std::size_t>(length));
}

TurnCredentials::TurnCredentials(TurnSettings settings, UnixClock clock, RandomSource random)
    : settings_(std::move(settings)), clock_(clock ? std::move(clock) : UnixClock(systemUnixTime)),
      random_(random ? std::move(random) : RandomSource(opensslRandom)) {}

nlohmann::json TurnCredentials::iceServers() const {
    std::array<unsigned char, idBytes> id{};
    // Ids tell joins apart in the TURN server's logs and quotas; without random bytes, better none than repeats.
    if (!random_(id.data(), id.size()))
        throw std::runtime_error("no random bytes for a TURN credential");
    const std::string username = std::to_string(clock_() + settings_.ttlSeconds) + ":" + hex(id.data(), id.size());
    return nlohmann::json::array(
        {{{"urls", settings_.urls}, {"username", username}, {"credential", turnPassword(settings_.secret, username)}}});
}

} // namespace murva
