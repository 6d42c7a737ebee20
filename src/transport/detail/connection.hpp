// The part of a connection that handles share with its I/O session. Holds no Asio object, so a handle that
// outlives the server touches nothing of the server's I/O.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "transport/common.hpp"
#include "transport/detail/wire_codes.hpp"

namespace boost::asio {
class io_context;
}

namespace rtc::detail {

enum class State : unsigned char { Connecting, Open, Closing, Closed };
enum class CloseRequest : unsigned char { None, Normal, Overflow };

// Implemented by the I/O session: posts one drain of the connection's outgoing queue to its I/O thread.
class SessionBase {
public:
    virtual ~SessionBase() = default;
    virtual void postDrain() = 0;
    // The same, except that on the connection's own I/O thread the drain may run at once.
    virtual void runDrain() { postDrain(); }
    // The io_context whose thread serves the connection now (nullptr: none); it changes when the connection
    // moves. Any thread.
    virtual boost::asio::io_context* home() const { return nullptr; }
    // Moves the connection to `target`'s thread at its next wait for input. Any thread; only posts.
    virtual void moveTo(boost::asio::io_context&) {}
};

// Serves both connections from one I/O thread from now on, moving the one whose thread serves more
// connections: what one relays to the other then never crosses threads. Any thread; only posts.
void keepTogether(SessionBase& a, SessionBase& b);

using MessageCallback = std::function<void(message_variant)>;
using ClosedCallback = std::function<void()>;

struct Connection {
    std::atomic<State> state{State::Connecting}; // Open -> Closing happens under `mutex`
    std::optional<std::string> remoteAddress;    // fixed before onClient
    std::string clientAddress; // set during onClient, read after it on the same thread: names it in the log

    // The connection in log lines: the client the application named, else the socket's (or PROXY header's) peer.
    std::string logName() const { return clientAddress.empty() ? remoteAddress.value_or("?") : clientAddress; }

    std::atomic<bool> peerClosedFirst{false}; // the peer's close frame came before any close of ours
    std::weak_ptr<SessionBase> session;

    // One small lock for what handles and the session share. Sends and the close request enter one queue in
    // the order they were made, from whatever thread, and the session drains it in that order.
    std::mutex mutex;
    std::vector<message_variant> outgoing; // sent, not yet taken by the session
    std::size_t buffered = 0;              // bytes sent and not yet written to the socket
    std::size_t maxBuffered = 0;
    bool drainPosted = false;
    CloseRequest closeRequest = CloseRequest::None;
    uint16_t closeCode = close_code::normal; // of a Normal close request

    // Swapped under the mutex and called through a copy, so a handler may replace or drop itself (or the
    // last handle to its connection) while it runs.
    std::shared_ptr<const MessageCallback> messageCallback;
    std::shared_ptr<const ClosedCallback> closedCallback;

    std::shared_ptr<const MessageCallback> messageHandler() {
        std::lock_guard lock(mutex);
        return messageCallback;
    }
};

// A close code a peer accepts in a close frame; anything else becomes a normal close.
inline uint16_t sendableCloseCode(int code) {
    using namespace close_code;
    const bool valid = (code >= normal && code <= unsupported) || (code >= badPayload && code <= tryAgainLater) ||
                       (code >= 3000 && code <= 4999);
    return static_cast<uint16_t>(valid ? code : normal);
}

// Open -> Closing with `code`: what was sent before still goes out, then the close frame. False when the
// connection was not open. Any thread; calls nothing back.
bool requestClose(Connection& connection, uint16_t code);

} // namespace rtc::detail
