// The WebSocket server: binds and listens in its constructor, then hands each upgraded connection to onClient
// and each plain HTTP request to onHttpRequest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "transport/configuration.hpp"
#include "transport/counters.hpp"
#include "transport/http.hpp"
#include "transport/websocket.hpp"

namespace rtc {

namespace detail {
class ServerCore;
}

// Answers a request; nullopt leaves it to the transport's default answer.
using HttpRequestHandler = std::function<std::optional<HttpResponse>(const HttpRequest&)>;

class WebSocketServer final {
public:
    // Throws std::runtime_error or std::invalid_argument with a readable reason when it cannot listen
    // (port in use, bad address, unusable certificate or key, PROXY protocol without trustedProxy).
    explicit WebSocketServer(WebSocketServerConfiguration config);
    ~WebSocketServer(); // stop()

    WebSocketServer(const WebSocketServer&) = delete;
    WebSocketServer& operator=(const WebSocketServer&) = delete;

    // Called once per connection whose upgrade has completed, on that connection's I/O thread. The connection
    // reads nothing until the callback has returned, so handlers installed in it miss no message and no close.
    // Inside it, WebSocket::upgradeRequest() gives the upgrade request.
    // Accepting starts with the first call; until then new connections wait in the listen backlog.
    void onClient(std::function<void(std::shared_ptr<WebSocket>)> callback);

    // Answers requests that are no WebSocket upgrade (every request when httpOnly), on an I/O thread. Without
    // a handler, or when it returns nullopt: 426 Upgrade Required (404 Not Found when httpOnly). HEAD gets the
    // head only. Requests with a body get 413. An answer keeps the connection open for the next request when
    // the client asks for that, up to maxRequestsPerConnection answers; the handshake limit, counted from the
    // accept, bounds the whole exchange. A handler that throws gets 500.
    void onHttpRequest(HttpRequestHandler handler);

    // Called with each upgrade request before it is accepted, on an I/O thread. A response refuses the
    // upgrade: it is sent (with Connection: close), and onClient never runs for the connection. A handler that
    // throws refuses with 500.
    void onUpgradeRequest(HttpRequestHandler handler);

    uint16_t port() const; // the bound port

    // Closes the listening socket: new connections are refused, open ones go on. Idempotent; returns once the
    // socket is closed (or, called on an I/O thread, once that is queued).
    void stopAccepting();

    // Closes every upgraded connection gracefully with `code` (1001 going away, say) after what was queued
    // for it, and drops connections still in their handshake or HTTP exchange, as well as any that would
    // complete a handshake later. Returns at once; connectionCount() tells when they are gone.
    void closeAll(int code = 1001);

    // TCP connections the server still holds, in any phase (handshake, HTTP, open, closing).
    std::size_t connectionCount() const;

    // Reads the configured certificate chain and key again (with the pass phrase) for connections accepted
    // from now on; open connections keep theirs. On failure throws std::runtime_error with the reason and
    // keeps the current pair; throws std::logic_error when TLS is not enabled.
    void reloadCertificate();

    // The caps on connections not upgraded yet (see maxPendingPerClient and maxPending) from now on; those
    // already counted stay, and a lowered cap only turns away the connections that come next.
    void setPendingCaps(std::size_t perClient, std::size_t total);

    // When the certificate in use stops being valid (seconds since 1970); empty without TLS.
    std::optional<int64_t> certificateExpiry() const;

    // Runs `task` on an I/O thread, after what is queued there (work that should stop when the I/O does, such
    // as a watchdog's ping). Dropped when the server has stopped.
    void post(std::function<void()> task);

    TransportCounters counters() const; // a snapshot; each field is exact, the set is not one instant

    // Stops accepting, closes every connection (each gets its onClosed) and joins the I/O threads.
    // Idempotent. Must not be called from a callback.
    void stop();

private:
    std::unique_ptr<detail::ServerCore> core_;
};

} // namespace rtc
