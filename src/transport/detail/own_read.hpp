// A busy connection's own read buffer and the read that stays pending in it. Asio's own reads either ask the
// reactor again for every wait (async_wait: an epoll_ctl each) or try the socket once more before every wait
// (async_read_some: a recv that finds nothing, each time), since its edge-triggered reactor must not wait while
// bytes or the peer's FIN are left unread. This read asks the kernel instead (TCP_INQ: with the bytes, how many
// are left, and nonzero after a FIN) and, when nothing is left, waits for the next edge as it stands: one
// recvmsg per arrival and no system call to wait. Without TCP_INQ, or with a reactor it was not written for,
// it reads as async_read_some does. TCP_INQ does not count a reset: one that comes in the same wake-up as the
// peer's last bytes is found by the next write to the connection, or at the latest when the first quiet keepalive
// tick turns it back to Asio's wait.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <utility>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <boost/asio/io_context.hpp>
#include <boost/version.hpp>

#include "transport/detail/socket.hpp"

#if defined(BOOST_ASIO_HAS_EPOLL) && !defined(BOOST_ASIO_HAS_IO_URING_AS_DEFAULT) && BOOST_VERSION >= 107900 &&        \
    BOOST_VERSION < 108400
#include <boost/asio/detail/reactive_socket_service.hpp>
#include <boost/asio/detail/reactor.hpp>
#include <boost/asio/detail/reactor_op.hpp>
#define MURVA_OWN_REACTOR_READ 1
#else
#define MURVA_OWN_REACTOR_READ 0
#endif

namespace rtc::detail {

// Told of a read's end on the socket's thread.
class OwnReadTarget {
public:
    virtual ~OwnReadTarget() = default;
    // `more`: bytes (or the peer's FIN) may be left after these `n`.
    virtual void onOwnRead(boost::system::error_code ec, std::size_t n, bool more) = 0;
};

class OwnRead {
public:
    static constexpr std::size_t capacity = 2048;

    char* data() { return bytes_; }

    // Reads up to `capacity` bytes into data() once the socket has them; `target` is kept until it is told.
    // One read at a time; the socket's cancel, release and close end it with operation_aborted.
    void start(Socket& socket, std::shared_ptr<OwnReadTarget> target) {
#if MURVA_OWN_REACTOR_READ
        auto& impl = SocketAccess::implementation(socket);
        auto& context = socket.get_executor().context();
        if (context_ != &context) { // the first read, or the first since the connection moved
            context_ = &context;
            reactor_ = &boost::asio::use_service<boost::asio::detail::reactor>(context);
        }
        if (op_.fd != impl.socket_) {
            op_.fd = impl.socket_;
            const int on = 1;
            op_.inq = ::setsockopt(op_.fd, IPPROTO_TCP, TCP_INQ, &on, sizeof on) == 0;
        }
        op_.buffer = bytes_;
        op_.target = std::move(target);
        op_.ec_ = {};
        op_.bytes_transferred_ = 0;
        op_.more = false;
        reactor_->start_op(boost::asio::detail::reactor::read_op, impl.socket_, impl.reactor_data_, &op_, false, true);
#else
        socket.async_read_some(boost::asio::buffer(bytes_, capacity),
                               [target = std::move(target)](boost::system::error_code ec, std::size_t n) {
                                   target->onOwnRead(ec, n, n == capacity);
                               });
#endif
    }

private:
#if MURVA_OWN_REACTOR_READ
    // The socket's reactor state is the protected part of Asio's socket.
    struct SocketAccess : Socket {
        using Implementation = boost::asio::detail::reactive_socket_service<boost::asio::ip::tcp>::implementation_type;
        static Implementation& implementation(Socket& socket) {
            return (socket.*(&SocketAccess::impl_)).get_implementation();
        }
    };

    struct Op final : boost::asio::detail::reactor_op {
        Op() : reactor_op(boost::system::error_code(), &Op::perform, &Op::complete) {}

        static status perform(reactor_op* base) {
            auto* op = static_cast<Op*>(base);
            iovec bytes{op->buffer, capacity};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
            msghdr message{};
            message.msg_iov = &bytes;
            message.msg_iovlen = 1;
            if (op->inq) {
                message.msg_control = control;
                message.msg_controllen = sizeof control;
            }
            for (;;) {
                const ssize_t n = ::recvmsg(op->fd, &message, 0);
                if (n > 0) {
                    op->bytes_transferred_ = static_cast<std::size_t>(n);
                    op->more = !op->inq || left(message) != 0;
                    // Nothing left: the next bytes, or the FIN, bring a new edge.
                    return op->more ? done : done_and_exhausted;
                }
                if (n == 0) {
                    op->ec_ = boost::asio::error::eof;
                    return done_and_exhausted;
                }
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return not_done;
                op->ec_ = boost::system::error_code(errno, boost::asio::error::get_system_category());
                return done;
            }
        }

        // What the kernel says is left to read after this read; unknown counts as something.
        static int left(msghdr& message) {
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c))
                if (c->cmsg_level == IPPROTO_TCP && c->cmsg_type == TCP_CM_INQ &&
                    c->cmsg_len >= CMSG_LEN(sizeof(int))) {
                    int n;
                    std::memcpy(&n, CMSG_DATA(c), sizeof n);
                    return n;
                }
            return 1;
        }

        // `owner` is null when the io_context is destroyed with the read pending: the target is only let go.
        static void complete(void* owner, boost::asio::detail::operation* base, const boost::system::error_code&,
                             std::size_t) {
            auto* op = static_cast<Op*>(base);
            // The target may own this read: nothing of it is used once the target is out.
            std::shared_ptr<OwnReadTarget> target = std::move(op->target);
            if (owner)
                target->onOwnRead(op->ec_, op->bytes_transferred_, op->more);
        }

        int fd = -1;
        bool inq = false;  // the kernel says what is left after each read
        bool more = false; // of the last read
        char* buffer = nullptr;
        std::shared_ptr<OwnReadTarget> target;
    };

    Op op_;
    boost::asio::io_context* context_ = nullptr; // the socket's, at the last read
    boost::asio::detail::reactor* reactor_ = nullptr;
#endif
    char bytes_[capacity];
};

} // namespace rtc::detail
