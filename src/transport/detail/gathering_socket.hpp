// The TCP socket under the WebSocket (and TLS) stream, able to gather many small writes into one system call:
//  - outside a batch a write goes to the socket as it is and completes when the socket has taken it, as on the
//    bare socket, so back-pressure is unchanged;
//  - inside a batch (the session has several messages queued) a write is copied into one buffer and completes at
//    once; the batch leaves in one system call when it ends, or early once the buffer passes its high-water mark,
//    after which writes complete only when the socket has taken them.
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
#include "transport/detail/socket.hpp"

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
        if (!flushing_ && buffered_ && !buffered_->pending.empty())
            flush();
    }

    // Something written has not reached the socket yet, or a write waits for it.
    bool busy() const { return flushing_ || buffered_; }

    template <class Buffers, class Handler> void async_read_some(const Buffers& buffers, Handler&& handler) {
        flushDeferredDrains();
        socket_.async_read_some(buffers, std::forward<Handler>(handler));
    }

    template <class Buffers, class Handler> void async_write_some(const Buffers& buffers, Handler&& handler) {
        namespace net = boost::asio;
        if (failed_)
            return complete(std::forward<Handler>(handler), failed_, 0);
        // The streams above never have two writes outstanding, so a write outside a batch with nothing
        // buffered can go to the socket as it is, without a copy.
        if (!batching_ && !busy())
            return writeDirectly(buffers, std::forward<Handler>(handler));
        auto& b = buffer();
        std::size_t size = 0;
        for (auto it = net::buffer_sequence_begin(buffers); it != net::buffer_sequence_end(buffers); ++it) {
            const net::const_buffer piece(*it);
            const auto* bytes = static_cast<const char*>(piece.data());
            b.pending.insert(b.pending.end(), bytes, bytes + piece.size());
            size += piece.size();
        }
        b.appended += size;
        if (batching_ && b.pending.size() < highWater)
            return complete(std::forward<Handler>(handler), error_code{}, size);
        b.held.emplace(std::forward<Handler>(handler));
        b.heldSize = size;
        b.heldUntil = b.appended;
        if (!flushing_)
            flush();
    }

    // Completes once everything written so far has reached the socket (or writing it failed).
    template <class Handler> void async_flush(Handler&& handler) {
        if (failed_ || !busy())
            return complete(std::forward<Handler>(handler), failed_);
        buffer().flushWaiter.emplace(std::forward<Handler>(handler));
        if (!flushing_ && !buffered_->pending.empty())
            flush();
    }

private:
    // Exists only while bytes are buffered or a write or flush waits, so an idle connection does not carry it.
    struct Buffered {
        std::vector<char> pending; // written by the stream above, not yet handed to the socket
        std::vector<char> sending; // being written to the socket
        std::size_t appended = 0;  // bytes ever put into pending
        std::size_t written = 0;   // bytes the socket has taken (or given up on)
        std::optional<boost::asio::any_completion_handler<void(error_code, std::size_t)>> held;
        std::size_t heldSize = 0;
        std::size_t heldUntil = 0; // held completes once written reaches this
        std::optional<boost::asio::any_completion_handler<void(error_code)>> flushWaiter;
    };

    Buffered& buffer() {
        if (!buffered_)
            buffered_ = std::make_unique<Buffered>();
        return *buffered_;
    }

    template <class Buffers, class Handler> void writeDirectly(const Buffers& buffers, Handler&& handler) {
        flushing_ = true;
        socket_.async_write_some(
            buffers, [this, handler = std::forward<Handler>(handler)](error_code ec, std::size_t n) mutable {
                flushing_ = false;
                if (ec)
                    failed_ = ec;
                // Only a teardown can have asked for a flush meanwhile; nothing else was written.
                if (buffered_ && buffered_->flushWaiter) {
                    complete(std::move(*buffered_->flushWaiter), failed_);
                    buffered_.reset();
                }
                std::move(handler)(ec, n); // last: it may release the owner of this socket
            });
    }

    template <class Handler, class... Args> void complete(Handler&& handler, Args... args) {
        boost::asio::post(socket_.get_executor(),
                          boost::beast::bind_front_handler(std::forward<Handler>(handler), args...));
    }

    void flush() {
        flushing_ = true;
        auto& b = *buffered_;
        b.sending.swap(b.pending);
        boost::asio::async_write(socket_, boost::asio::buffer(b.sending),
                                 [this, owner = owner_.lock()](error_code ec, std::size_t n) { onFlushed(ec, n); });
    }

    void onFlushed(error_code ec, std::size_t n) {
        flushing_ = false;
        auto& b = *buffered_;
        b.written += n;
        b.sending.clear();
        if (ec) {
            failed_ = ec;
            b.written = b.appended;
            b.pending = {};
        } else if (!b.pending.empty() && (!batching_ || b.held || b.flushWaiter || b.pending.size() >= highWater)) {
            flush();
        }
        std::optional<boost::asio::any_completion_handler<void(error_code, std::size_t)>> held;
        if (b.held && b.written >= b.heldUntil)
            held.swap(b.held);
        const std::size_t heldSize = b.heldSize;
        std::optional<boost::asio::any_completion_handler<void(error_code)>> waiter;
        if (b.flushWaiter && (failed_ || (!flushing_ && b.pending.empty())))
            waiter.swap(b.flushWaiter);
        if (!flushing_ && b.pending.empty() && !b.held && !b.flushWaiter)
            buffered_.reset(); // idle again: no buffers kept
        // The handlers may write again at once; the state above is settled before they run.
        if (held)
            std::move(*held)(failed_, failed_ ? 0 : heldSize);
        if (waiter)
            std::move(*waiter)(failed_);
    }

    Socket socket_;
    std::weak_ptr<void> owner_;
    std::unique_ptr<Buffered> buffered_;
    error_code failed_;
    bool batching_ = false;
    bool flushing_ = false; // a write of ours is in flight on the socket
};

// Closing: what is still buffered (the close frame, a TLS close_notify) goes out before the TCP teardown.
template <class Handler>
void async_teardown(boost::beast::role_type role, GatheringSocket& socket, Handler&& handler) {
    socket.async_flush([role, &socket, handler = std::forward<Handler>(handler)](boost::system::error_code) mutable {
        boost::beast::websocket::async_teardown(role, socket.next_layer(), std::move(handler));
    });
}

} // namespace rtc::detail
