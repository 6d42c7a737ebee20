// The TCP socket under the WebSocket (and TLS) stream. Every write goes through one output buffer:
//  - outside a batch a write is sent at once and completes when the socket has taken all of it, as on the bare
//    socket, so back-pressure and ordering are unchanged;
//  - inside a batch (the session has several messages queued) a write completes as soon as it is buffered, and the
//    batch leaves in one system call when it ends, or early once the buffer passes its high-water mark.
// Writes leave in the order they were made, whoever made them (messages, pings, pongs, close frames, TLS records).
// Reads pass straight through, first posting the drains deferred on this thread (see drain_deferral.hpp): the
// stream above asks the socket for bytes only once it has used up what it had buffered.
// Used on the session's I/O thread only.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>

#include "transport/detail/drain_deferral.hpp"
#include "transport/detail/session.hpp"

namespace rtc::detail {

class GatheringSocket {
public:
    using executor_type = Socket::executor_type;
    using next_layer_type = Socket;
    using lowest_layer_type = Socket::lowest_layer_type;
    using error_code = boost::system::error_code;

    // Buffered bytes past which a batch is sent without waiting for its end, and further writes wait for it.
    static constexpr std::size_t highWater = 64 * 1024;

    explicit GatheringSocket(Socket&& socket) : socket_(std::move(socket)) {}

    executor_type get_executor() noexcept { return socket_.get_executor(); }
    Socket& next_layer() noexcept { return socket_; }
    lowest_layer_type& lowest_layer() noexcept { return socket_.lowest_layer(); }

    // The object that owns this socket; kept alive while the buffer is being written.
    void setOwner(std::weak_ptr<void> owner) { owner_ = std::move(owner); }

    void beginBatch() { batching_ = true; }
    void endBatch() {
        batching_ = false;
        if (!flushing_ && !pending_.empty())
            flush();
    }

    // Something written has not reached the socket yet, or a write waits for it.
    bool busy() const { return flushing_ || !pending_.empty() || held_; }

    template <class Buffers, class Handler> void async_read_some(const Buffers& buffers, Handler&& handler) {
        flushDeferredDrains();
        socket_.async_read_some(buffers, std::forward<Handler>(handler));
    }

    template <class Buffers, class Handler> void async_write_some(const Buffers& buffers, Handler&& handler) {
        namespace net = boost::asio;
        if (failed_)
            return complete(std::forward<Handler>(handler), failed_, 0);
        std::size_t size = 0;
        for (auto it = net::buffer_sequence_begin(buffers); it != net::buffer_sequence_end(buffers); ++it) {
            const net::const_buffer piece(*it);
            const auto* bytes = static_cast<const char*>(piece.data());
            pending_.insert(pending_.end(), bytes, bytes + piece.size());
            size += piece.size();
        }
        appended_ += size;
        if (written_ == appended_ || (batching_ && pending_.size() < highWater))
            return complete(std::forward<Handler>(handler), error_code{}, size);
        // Only one write is outstanding at a time (the streams above serialise their writes).
        held_.emplace(std::forward<Handler>(handler));
        heldSize_ = size;
        heldUntil_ = appended_;
        if (!flushing_)
            flush();
    }

    // Completes once everything written so far has reached the socket (or writing it failed).
    template <class Handler> void async_flush(Handler&& handler) {
        if (failed_ || (!flushing_ && pending_.empty()))
            return complete(std::forward<Handler>(handler), failed_);
        flushWaiter_.emplace(std::forward<Handler>(handler));
        if (!flushing_)
            flush();
    }

private:
    template <class Handler, class... Args> void complete(Handler&& handler, Args... args) {
        boost::asio::post(socket_.get_executor(),
                          boost::beast::bind_front_handler(std::forward<Handler>(handler), args...));
    }

    void flush() {
        flushing_ = true;
        sending_.swap(pending_);
        boost::asio::async_write(socket_, boost::asio::buffer(sending_),
                                 [this, owner = owner_.lock()](error_code ec, std::size_t n) { onFlushed(ec, n); });
    }

    void onFlushed(error_code ec, std::size_t n) {
        flushing_ = false;
        written_ += n;
        sending_.clear();
        if (ec) {
            failed_ = ec;
            written_ = appended_;
            pending_ = {};
            sending_ = {};
        } else if (!pending_.empty() && (!batching_ || held_ || flushWaiter_ || pending_.size() >= highWater)) {
            flush();
        } else if (pending_.empty()) {
            pending_ = {}; // an idle connection keeps no buffer
            sending_ = {};
        }
        if (held_ && written_ >= heldUntil_) {
            auto handler = std::move(*held_);
            held_.reset();
            std::move(handler)(failed_, failed_ ? 0 : heldSize_);
        }
        if (flushWaiter_ && (failed_ || (!flushing_ && pending_.empty()))) {
            auto handler = std::move(*flushWaiter_);
            flushWaiter_.reset();
            std::move(handler)(failed_);
        }
    }

    Socket socket_;
    std::weak_ptr<void> owner_;
    std::vector<char> pending_; // written by the stream above, not yet handed to the socket
    std::vector<char> sending_; // being written to the socket
    std::size_t appended_ = 0;  // bytes ever written into pending_
    std::size_t written_ = 0;   // bytes the socket has taken (or given up on)
    std::optional<boost::asio::any_completion_handler<void(error_code, std::size_t)>> held_;
    std::size_t heldSize_ = 0;
    std::size_t heldUntil_ = 0; // held_ completes once written_ reaches this
    std::optional<boost::asio::any_completion_handler<void(error_code)>> flushWaiter_;
    error_code failed_;
    bool batching_ = false;
    bool flushing_ = false;
};

// Closing: what is still buffered (the close frame, a TLS close_notify) goes out before the TCP teardown.
template <class Handler>
void async_teardown(boost::beast::role_type role, GatheringSocket& socket, Handler&& handler) {
    socket.async_flush([role, &socket, handler = std::forward<Handler>(handler)](boost::system::error_code) mutable {
        boost::beast::websocket::async_teardown(role, socket.next_layer(), std::move(handler));
    });
}

} // namespace rtc::detail
