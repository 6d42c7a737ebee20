// Short-lived TURN credentials (the TURN REST scheme: coturn's use-auth-secret checks them with the same secret).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "config/settings.hpp"

namespace murva {

// base64(HMAC-SHA1(secret, username)): the password a TURN server with that secret expects for `username`.
std::string turnPassword(const std::string& secret, const std::string& username);

class TurnCredentials {
public:
    using UnixClock = std::function<int64_t()>;                            // whole seconds since 1970
    using RandomSource = std::function<bool(unsigned char*, std::size_t)>; // false: no random bytes to be had

    // The real clock and OpenSSL's RAND_bytes unless tests give their own.
    explicit TurnCredentials(TurnSettings settings, UnixClock clock = {}, RandomSource random = {});

    // The "iceServers" value for one join: [{"credential","urls","username"}], the username being
    // "<expiry>:<random id>" with the expiry the Unix time at which the credential stops working. A fresh id
    // every call. Throws std::runtime_error when no random bytes can be had.
    nlohmann::json iceServers() const;

private:
    const TurnSettings settings_;
    const UnixClock clock_;
    const RandomSource random_;
};

} // namespace murva
