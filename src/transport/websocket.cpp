// The handle side of a connection: only atomics, a weak lock and a post. Nothing here calls back.
#include "transport/websocket.hpp"

#include "transport/detail/connection.hpp"

namespace rtc {

Channel::Channel(std::shared_ptr<detail::Connection> connection) : connection_(std::move(connection)) {}

void Channel::onMessage(std::function<void(message_variant)> callback) {
    std::shared_ptr<const detail::MessageCallback> next;
    if (callback)
        next = std::make_shared<const detail::MessageCallback>(std::move(callback));
    std::lock_guard lock(connection_->callbackMutex);
    connection_->messageCallback.swap(next); // the old handler is released outside the lock, on return
}

void Channel::onClosed(std::function<void()> callback) {
    std::shared_ptr<const detail::ClosedCallback> next;
    if (callback)
        next = std::make_shared<const detail::ClosedCallback>(std::move(callback));
    std::lock_guard lock(connection_->callbackMutex);
    connection_->closedCallback.swap(next);
}

WebSocket::WebSocket(std::shared_ptr<detail::Connection> connection) : Channel(std::move(connection)) {}

WebSocket::~WebSocket() {
    close();
    std::shared_ptr<const detail::MessageCallback> message;
    std::shared_ptr<const detail::ClosedCallback> closed;
    {
        std::lock_guard lock(connection_->callbackMutex);
        message.swap(connection_->messageCallback);
        closed.swap(connection_->closedCallback);
    }
}

bool WebSocket::isOpen() const { return connection_->state.load(std::memory_order_acquire) == detail::State::Open; }

bool WebSocket::isClosed() const {
    return connection_->state.load(std::memory_order_acquire) == detail::State::Closed;
}

bool WebSocket::send(message_variant data) {
    auto& conn = *connection_;
    if (conn.state.load(std::memory_order_acquire) != detail::State::Open)
        return false;
    const std::size_t size = std::visit([](const auto& d) { return d.size(); }, data);
    const std::size_t total = conn.buffered.fetch_add(size, std::memory_order_relaxed) + size;
    if (total > conn.maxBuffered) {
        conn.buffered.fetch_sub(size, std::memory_order_relaxed);
        auto expected = detail::State::Open;
        if (conn.state.compare_exchange_strong(expected, detail::State::Closing))
            if (auto session = conn.session.lock())
                session->postClose(true);
        return false;
    }
    auto session = conn.session.lock();
    if (!session) {
        conn.buffered.fetch_sub(size, std::memory_order_relaxed);
        return false;
    }
    session->post(std::move(data), size);
    return true;
}

void WebSocket::close() {
    auto expected = detail::State::Open;
    if (connection_->state.compare_exchange_strong(expected, detail::State::Closing))
        if (auto session = connection_->session.lock())
            session->postClose(false);
}

std::optional<std::string> WebSocket::remoteAddress() const { return connection_->remoteAddress; }

} // namespace rtc
