// A handle to one accepted WebSocket connection. Handles are cheap; the connection lives on its I/O thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "transport/channel.hpp"
#include "transport/common.hpp"
#include "transport/http.hpp"

namespace rtc {

class WebSocket final : public Channel {
public:
    explicit WebSocket(std::shared_ptr<detail::Connection> connection); // made by WebSocketServer
    ~WebSocket() override; // closes the connection gracefully when it is still open and drops its handlers

    WebSocket(const WebSocket&) = delete;
    WebSocket& operator=(const WebSocket&) = delete;

    bool isOpen() const;   // upgraded and neither closed nor closing
    bool isClosed() const; // the connection has ended (its onClosed has run or is running)
    // True when the connection ended with the peer's own close frame, sent before any close of ours (a client
    // that left), not by a dropped connection, a timeout or our close. Final once onClosed runs.
    bool closedByPeer() const;

    // Queues one message (string = text frame, bytes = binary frame). Never blocks and never calls back.
    // False when the connection is not open, or when the message would take the queued, unsent bytes over
    // the outbound cap; the connection is then closed with 1008 (policy violation).
    bool send(message_variant data);

    // Sends what was queued before, then the close frame (1000). Idempotent; any thread.
    void close();
    // The same with another close code. Codes a peer may not receive (outside 1000..4999, 1004..1006, 1015)
    // are sent as 1000.
    void close(int code);

    // Serves this connection and `other` from one I/O thread from now on, for two connections that relay to
    // each other: what one sends the other then never crosses threads. A hint; any thread; never blocks or calls
    // back.
    void keepTogetherWith(const WebSocket& other);

    // "ip:port" for IPv4 (also for IPv4 clients on a dual-stack socket) and "[ip]:port" for IPv6.
    std::optional<std::string> remoteAddress() const;

    // The upgrade request, on the I/O thread running onClient and only until onClient returns (nullptr
    // elsewhere): the server keeps no copy of it afterwards, so read what you need there.
    const HttpRequest* upgradeRequest() const;

    // Names the connection in the transport's log lines from now on, instead of remoteAddress(): the client
    // the application resolved behind its proxies. Only inside onClient, on its I/O thread.
    void setClientAddress(std::string address);
};

} // namespace rtc
