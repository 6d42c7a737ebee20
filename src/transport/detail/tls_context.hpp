// The server's TLS context: made from the configured PEM files, and replaced whole by a reload while every
// session keeps the one it started with.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/ssl/context.hpp>

#include "transport/configuration.hpp"

namespace rtc::detail {

class TlsContextSlot {
public:
    // Throws std::invalid_argument (no file named) or std::runtime_error (unusable file) with the reason.
    explicit TlsContextSlot(const WebSocketServerConfiguration& config);

    std::shared_ptr<boost::asio::ssl::context> current() const;

    // Reads the files again; on failure throws and keeps the current context.
    void reload();

    // When the certificate in use (the chain's first) stops being valid, in seconds since 1970.
    int64_t expiry() const;

private:
    std::shared_ptr<boost::asio::ssl::context> load() const;

    std::string certificateFile_;
    std::string keyFile_;
    std::string keyPass_;
    mutable std::mutex mutex_;
    std::shared_ptr<boost::asio::ssl::context> context_;
    int64_t expiry_ = 0;
};

} // namespace rtc::detail
