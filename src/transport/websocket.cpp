// The handle side of a connection: only atomics, a weak lock and a post. Nothing here calls back.
#include "transport/websocket.hpp"

#include <utility>

#include "transport/detail/connection.hpp"
#include "transport/detail/drain_deferral.hpp"
#include "transport/detail/upgrade_request.hpp"

namespace rtc {

Channel::Channel(std::shared_ptr<detail::Connection> connection) : connection_(std::move(connection)) {}

void Channel::onMessage(std::function<void(message_variant)> callback) {
    std::shared_ptr<const detail::MessageCallback> next;
    if (callback)
        next = std::make_shared<const detail::MessageCallback>(std::move(callback));
    std::lock_guard lock(connection_->mutex);
    connection_->messageCallback.swap(next); // the old handler is released outside the lock, on return
}

void Channel::onClosed(std::function<void()> callback) {
    std::shared_ptr<const detail::ClosedCallback> next;
    if (callback)
        next = std::make_shared<const detail::ClosedCallback>(std::move(callback));
    std::lock_guard lock(connection_->mutex);
    connection_->closedCallback.swap(next);
}

WebSocket::WebSocket(std::shared_ptr<detail::Connection> connection) : Channel(std::move(connection)) {}

WebSocket::~WebSocket() {
    close();
    std::shared_ptr<const detail::MessageCallback> message;
    std::shared_ptr<const detail::ClosedCallback> closed;
    {
        std::lock_guard lock(connection_->mutex);
        message.swap(connection_->messageCallback);
        closed.swap(connection_->closedCallback);
    }
}

bool WebSocket::isOpen() const { return connection_->state.load(std::memory_order_acquire) == detail::State::Open; }

bool WebSocket::isClosed() const { return connection_->state.load(std::memory_order_acquire) == detail::State::Closed; }

bool WebSocket::closedByPeer() const { return connection_->peerClosedFirst.load(std::memory_order_acquire); }

bool WebSocket::send(message_variant data) {
    auto& conn = *connection_;
    const std::size_t size = std::visit([](const auto& d) { return d.size(); }, data);
    bool accepted = false;
    bool post = false;
    {
        std::lock_guard lock(conn.mutex);
        if (conn.state.load(std::memory_order_relaxed) != detail::State::Open)
            return false;
        if (conn.buffered + size > conn.maxBuffered) {
            // A peer that does not read must not grow our memory: it is cut off instead.
            conn.state.store(detail::State::Closing, std::memory_order_release);
            conn.closeRequest = detail::CloseRequest::Overflow;
        } else {
            conn.buffered += size;
            conn.outgoing.push_back(std::move(data));
            accepted = true;
        }
        post = !std::exchange(conn.drainPosted, true);
    }
    if (post)
        if (auto session = conn.session.lock(); session && !detail::deferDrain(session))
            session->postDrain();
    return accepted;
}

void WebSocket::close() { detail::requestClose(*connection_, detail::close_code::normal); }

void WebSocket::close(int code) { detail::requestClose(*connection_, detail::sendableCloseCode(code)); }

void WebSocket::keepTogetherWith(const WebSocket& other) {
    auto mine = connection_->session.lock();
    auto theirs = other.connection_->session.lock();
    if (mine && theirs && mine != theirs)
        detail::keepTogether(*mine, *theirs);
}

std::optional<std::string> WebSocket::remoteAddress() const { return connection_->remoteAddress; }

void WebSocket::setClientAddress(std::string address) { connection_->clientAddress = std::move(address); }

const HttpRequest* WebSocket::upgradeRequest() const { return detail::currentUpgradeRequest(connection_.get()); }

namespace detail {

bool requestClose(Connection& conn, uint16_t code) {
    bool post = false;
    {
        std::lock_guard lock(conn.mutex);
        if (conn.state.load(std::memory_order_relaxed) != State::Open)
            return false;
        conn.state.store(State::Closing, std::memory_order_release);
        conn.closeRequest = CloseRequest::Normal;
        conn.closeCode = code;
        post = !std::exchange(conn.drainPosted, true);
    }
    if (post)
        if (auto session = conn.session.lock())
            session->postDrain();
    return true;
}

} // namespace detail

} // namespace rtc
