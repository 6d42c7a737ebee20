// The WebSocket server: binds and listens in its constructor, then hands each upgraded connection to onClient.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "transport/configuration.hpp"
#include "transport/websocket.hpp"

namespace rtc {

namespace detail {
class ServerCore;
}

class WebSocketServer final {
public:
    // Throws std::runtime_error or std::invalid_argument with a readable reason when it cannot listen
    // (port in use, bad address, unusable certificate or key).
    explicit WebSocketServer(WebSocketServerConfiguration config);
    ~WebSocketServer(); // stop()

    WebSocketServer(const WebSocketServer&) = delete;
    WebSocketServer& operator=(const WebSocketServer&) = delete;

    // Called once per connection whose upgrade has completed, on that connection's I/O thread. The connection
    // reads nothing until the callback has returned, so handlers installed in it miss no message and no close.
    // Accepting starts with the first call; until then new connections wait in the listen backlog.
    void onClient(std::function<void(std::shared_ptr<WebSocket>)> callback);

    uint16_t port() const; // the bound port

    // Stops accepting, closes every connection (each gets its onClosed) and joins the I/O threads.
    // Idempotent. Must not be called from a callback.
    void stop();

private:
    std::unique_ptr<detail::ServerCore> core_;
};

} // namespace rtc
