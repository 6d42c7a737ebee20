// Join tokens: a JWS in compact form whose claims say who may join which room, checked with no call back.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "config/settings.hpp"
#include "signaling/key_set.hpp"

namespace murva {

inline constexpr std::size_t maxTokenBytes = 4096; // longer ones are refused before anything is decoded

// Why a token was refused; the names are the metrics' and the log's.
enum class TokenFailure { Signature, Expired, Claims, Malformed, UnknownKey };
inline constexpr std::array tokenFailures = {TokenFailure::Signature, TokenFailure::Expired, TokenFailure::Claims,
                                             TokenFailure::Malformed, TokenFailure::UnknownKey};
std::string_view tokenFailureName(TokenFailure failure);

// What an accepted token grants beyond the join itself.
struct TokenGrant {
    std::optional<std::string> nick;    // used instead of the client's
    std::optional<uint32_t> maxSeconds; // the membership ends this long after the join
};

struct TokenResult {
    std::optional<TokenFailure> failure; // empty: accepted
    TokenGrant grant;
};

class TokenVerifier {
public:
    // Reads the key set named in `settings` (throws std::invalid_argument, naming the file and why, when it
    // cannot be used). Immutable afterwards: I/O threads share it.
    explicit TokenVerifier(const AuthSettings& settings);

    // Checks `token` for a join of `room` at Unix time `now` (seconds).
    TokenResult verify(std::string_view token, std::string_view room, int64_t now) const;

    bool required() const { return settings_.require; }
    std::size_t keyCount() const { return (keys_ ? keys_->size() : 0) + (settings_.hs256Secret.empty() ? 0 : 1); }

private:
    std::optional<TokenFailure> checkSignature(const std::string& alg, const std::string* kid,
                                               std::string_view signedPart, std::string_view signature) const;

    AuthSettings settings_;
    std::shared_ptr<const KeySet> keys_; // null: no "keys" configured
};

} // namespace murva
