// Settings of a WebSocketServer. An empty optional means "the transport's default", given beside each field.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rtc {

inline constexpr std::chrono::milliseconds defaultConnectionTimeout{10'000};
inline constexpr std::size_t defaultMaxMessageSize = 256 * 1024;
inline constexpr std::chrono::milliseconds defaultIdleTimeout{60'000};
inline constexpr std::size_t minMaxBufferedAmount = 1024 * 1024;
inline constexpr std::size_t maxRequestHeaderSize = 16 * 1024; // larger request heads get 431
inline constexpr unsigned maxRequestsPerConnection = 100;      // plain HTTP requests; the last answer closes

struct WebSocketServerConfiguration {
    uint16_t port = 8080;   // 0 picks a free port; WebSocketServer::port() tells which
    bool enableTls = false; // serve wss:// with the PEM files below
    std::optional<std::string> certificatePemFile;
    std::optional<std::string> keyPemFile;
    std::optional<std::string> keyPemPass;                      // pass phrase of an encrypted key
    std::optional<std::string> bindAddress;                     // empty: every interface, IPv6 and IPv4
    std::optional<std::chrono::milliseconds> connectionTimeout; // TLS + upgrade; empty: 10 s, zero: no limit
    std::optional<std::size_t> maxMessageSize; // largest incoming message in bytes; empty or 0: 256 KiB

    // Extensions (tests shorten these; the server leaves them empty).
    std::optional<std::chrono::milliseconds> idleTimeout; // empty: 60 s; a ping goes out after half of it
    std::optional<std::size_t> maxBufferedAmount;         // queued outgoing bytes; empty: max(1 MiB, 4 * message limit)
    std::optional<unsigned> threads;                      // I/O threads; empty: hardware threads, clamped to 2..4

    // No WebSocket upgrades at all: every request goes to onHttpRequest (unanswered ones get 404), and
    // accepting starts with onHttpRequest. For an admin listener serving health and metrics.
    bool httpOnly = false;

    // Every connection must open with a PROXY protocol header (v1 text or v2 binary, before any TLS), and
    // remoteAddress() reports the client it names. A connection without one, with a malformed one, or from a
    // socket peer that trustedProxy does not accept is closed. Needs trustedProxy.
    bool proxyProtocol = false;
    // Whether a socket peer is one of our proxies: it may send PROXY headers, and its connections count for the
    // client they carry (see clientKey). Called on the I/O threads (possibly on several at once) with the
    // socket peer's IP ("10.0.0.5", "::1"; IPv4-mapped ones as IPv4).
    std::function<bool(const std::string& ip)> trustedProxy;

    // Connections not upgraded yet (in their PROXY header, TLS, request or plain HTTP exchanges) at once, per
    // client and in all; 0: no limit. A connection over either cap is closed unanswered and counted as refused.
    // The handshake limit runs from the accept to the upgrade, whatever requests are answered meanwhile.
    std::size_t maxPendingPerClient = 0;
    std::size_t maxPending = 0;
    // Which client a connection not upgraded yet counts for, called on the I/O threads with the client's IP (as
    // trustedProxy gets it; the source of a PROXY header when it names one) and, when the socket peer is a
    // trusted proxy sending no PROXY header, the X-Forwarded-For lines of its first request. An empty key counts
    // in the total only (a proxy's own connections). Empty function: the IP is the key. Without a PROXY header,
    // a trusted proxy's connection counts in the total only until its first request head is read.
    std::function<std::string(const std::string& ip, const std::vector<std::string>& forwardedFor)> clientKey;
    // Told of every connection refused before its upgrade (except by onUpgradeRequest, whose handler knows),
    // on the I/O threads: the reason as the metrics name it ("bad_handshake", "pre_upgrade_per_ip", ...), and
    // the client's IP and X-Forwarded-For lines as clientKey gets them (empty until known).
    std::function<void(std::string_view reason, const std::string& ip, const std::vector<std::string>& forwardedFor)>
        onRefused;
};

} // namespace rtc
