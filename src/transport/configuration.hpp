// Settings of a WebSocketServer. An empty optional means "the transport's default", given beside each field.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace rtc {

inline constexpr std::chrono::milliseconds defaultConnectionTimeout{10'000};
inline constexpr std::size_t defaultMaxMessageSize = 256 * 1024;
inline constexpr std::chrono::milliseconds defaultIdleTimeout{60'000};
inline constexpr std::size_t minMaxBufferedAmount = 1024 * 1024;

struct WebSocketServerConfiguration {
    uint16_t port = 8080;                        // 0 picks a free port; WebSocketServer::port() tells which
    bool enableTls = false;                      // serve wss:// with the PEM files below
    std::optional<std::string> certificatePemFile;
    std::optional<std::string> keyPemFile;
    std::optional<std::string> keyPemPass;       // pass phrase of an encrypted key
    std::optional<std::string> bindAddress;      // empty: every interface, IPv6 and IPv4
    std::optional<std::chrono::milliseconds> connectionTimeout; // TLS + upgrade; empty: 10 s, zero: no limit
    std::optional<std::size_t> maxMessageSize;   // largest incoming message in bytes; empty or 0: 256 KiB

    // Extensions (tests shorten these; the server leaves them empty).
    std::optional<std::chrono::milliseconds> idleTimeout; // empty: 60 s; a ping goes out after half of it
    std::optional<std::size_t> maxBufferedAmount; // queued outgoing bytes; empty: max(1 MiB, 4 * message limit)
    std::optional<unsigned> threads;              // I/O threads; empty: hardware threads, clamped to 2..4
};

} // namespace rtc
