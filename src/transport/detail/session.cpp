// One accepted connection, from the TLS handshake to its close. Every member of Session is used only on the
// connection's I/O thread (its io_context runs on one thread, so that thread is the connection's strand).
#include "transport/detail/session.hpp"

#include <iterator>
#include <vector>

#include <type_traits>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "transport/detail/address.hpp"
#include "transport/detail/drain_deferral.hpp"
#include "transport/detail/gathering_socket.hpp"
#include "transport/detail/guard.hpp"
#include "transport/detail/log.hpp"
#include "transport/websocket.hpp"

namespace rtc::detail {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

using PlainStream = websocket::stream<GatheringSocket>;
using TlsStream = websocket::stream<net::ssl::stream<GatheringSocket>>;

constexpr std::size_t maxRequestHeader = 8 * 1024;
constexpr std::size_t firstReadLimit = 128; // joins and replies fit; a larger message takes a second read
constexpr std::size_t laterReadLimit = 16 * 1024;

// Ordinary ways for a connection to end; they are not faults.
bool isOrdinaryEnd(beast::error_code ec) {
    return ec == websocket::error::closed || ec == net::error::eof || ec == net::error::operation_aborted ||
           ec == net::error::connection_reset || ec == net::error::broken_pipe ||
           ec == net::ssl::error::stream_truncated || ec == net::error::bad_descriptor;
}

LogLevel levelFor(beast::error_code ec) {
    if (isOrdinaryEnd(ec))
        return LogLevel::Debug;
    if (ec == beast::error::timeout)
        return LogLevel::Info;
    return LogLevel::Warning;
}

std::size_t sizeOf(const message_variant& m) {
    return std::visit([](const auto& d) { return d.size(); }, m);
}

template <class Ws>
class Session final : public SessionBase,
                      public StoppableSession,
                      public std::enable_shared_from_this<Session<Ws>> {
    static constexpr bool tls = std::is_same_v<Ws, TlsStream>;

public:
    template <class... StreamArgs>
    Session(std::shared_ptr<Shared> shared, Socket&& socket, const tcp::endpoint& peer, StreamArgs&&... streamArgs)
        : ws_(std::move(socket), std::forward<StreamArgs>(streamArgs)...),
          deadline_(ws_.get_executor()), conn_(std::make_shared<Connection>()), shared_(std::move(shared)) {
        conn_->maxBuffered = shared_->settings.maxBuffered;
        if (peer.port() != 0)
            conn_->remoteAddress = formatEndpoint(peer);
    }

    ~Session() override { shared_->registry.remove(this); }

    void start() {
        conn_->session = this->weak_from_this();
        gathering().setOwner(this->weak_from_this());
        shared_->registry.add(this, this->weak_from_this());
        net::dispatch(ws_.get_executor(), [self = this->shared_from_this()] { self->open(); });
    }

    // --- called from any thread: post only ---

    void postDrain() override {
        net::post(ws_.get_executor(), [self = this->shared_from_this()] { self->drain(); });
    }

    void postForceClose() override {
        net::post(ws_.get_executor(), [self = this->shared_from_this()] { self->forceClose(); });
    }

    void postIdleTick() override {
        net::post(ws_.get_executor(), [self = this->shared_from_this()] { self->idleTick(); });
    }

private:
    GatheringSocket& gathering() {
        if constexpr (tls)
            return ws_.next_layer().next_layer();
        else
            return ws_.next_layer();
    }

    // --- opening ---

    void open() {
        if (shared_->stopping)
            return abandon({});
        if (shared_->settings.handshakeLimit.count() > 0)
            armDeadline(shared_->settings.handshakeLimit);

        if constexpr (tls) {
            ws_.next_layer().async_handshake(net::ssl::stream_base::server,
                                             [self = this->shared_from_this()](beast::error_code ec) {
                                                 if (ec)
                                                     return self->abandon(ec);
                                                 self->readRequest();
                                             });
        } else {
            readRequest();
        }
    }

    void readRequest() {
        parser_ = std::make_unique<http::request_parser<http::empty_body>>();
        parser_->header_limit(maxRequestHeader);
        http::async_read(ws_.next_layer(), buffer_, *parser_,
                         [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                             self->onRequest(ec);
                         });
    }

    void onRequest(beast::error_code ec) {
        if (ec)
            return abandon(ec);
        if (!websocket::is_upgrade(parser_->get()))
            return refuseUpgrade();
        // A client may not send frames before it has our 101; bytes past the request would otherwise be taken
        // for the start of the first message.
        if (buffer_.size() != 0)
            return abandon(http::error::unexpected_body);

        const auto& settings = shared_->settings;
        websocket::stream_base::timeout timeouts;
        timeouts.handshake_timeout = settings.handshakeLimit.count() > 0
                                         ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               settings.handshakeLimit)
                                         : websocket::stream_base::none();
        // Idle connections are found by the server's keepalive sweep (idleTick), which costs nothing per read;
        // Beast's own idle timer would re-arm on every read and keep a wait pending per connection.
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_.set_option(timeouts);
        ws_.control_callback([this](websocket::frame_type, beast::string_view) { ++activity_; });
        ws_.read_message_max(settings.maxMessageSize);
        ws_.auto_fragment(false);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& res) { res.set(http::field::server, "murva-signal"); }));

        ws_.async_accept(parser_->get(), [self = this->shared_from_this()](beast::error_code ec) {
            self->parser_.reset();
            if (ec)
                return self->abandon(ec);
            self->onOpen();
        });
    }

    // A plain HTTP request that is no WebSocket upgrade: answer 426 and close.
    void refuseUpgrade() {
        auto res = std::make_shared<http::response<http::string_body>>(http::status::upgrade_required,
                                                                        parser_->get().version());
        res->set(http::field::server, "murva-signal");
        res->set(http::field::upgrade, "websocket");
        res->set(http::field::connection, "close");
        res->set(http::field::content_type, "text/plain");
        res->body() = "This is a WebSocket endpoint.\n";
        res->prepare_payload();
        parser_.reset();
        http::async_write(ws_.next_layer(), *res,
                          [self = this->shared_from_this(), res](beast::error_code, std::size_t) {
                              self->abandon({});
                          });
    }

    void onOpen() {
        deadline_.cancel();
        if (shared_->stopping)
            return abandon({});
        conn_->state.store(State::Open, std::memory_order_release);
        opened_ = true;
        log(LogLevel::Debug, [&] { return "WebSocket open: " + conn_->remoteAddress.value_or("?"); });

        if (auto callback = shared_->clientHandler()) {
            auto handle = std::make_shared<WebSocket>(conn_);
            invokeGuarded("onClient", [&] { (*callback)(std::move(handle)); });
        }
        // Only now: the handlers installed by onClient see every message and the close.
        readNext();
    }

    // The connection never reached onClient: close it without any callback.
    void abandon(beast::error_code ec) {
        if (ec)
            log(LogLevel::Debug, [&] {
                return "Handshake with " + conn_->remoteAddress.value_or("?") + " failed: " + ec.message();
            });
        deadline_.cancel();
        conn_->state.store(State::Closed, std::memory_order_release);
        closeSocket();
    }

    // --- receiving ---

    // A pending read reserves its buffer space up front, and nearly every connection has one pending all the
    // time: start each message with a small read and take larger pieces only while a long message is arriving.
    void readNext() {
        const std::size_t limit = buffer_.size() == 0 ? firstReadLimit : laterReadLimit;
        ws_.async_read_some(buffer_, limit, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            self->onRead(ec);
        });
    }

    void onRead(beast::error_code ec) {
        if (ec)
            return finish(ec);
        ++activity_;
        if (!ws_.is_message_done())
            return readNext();
        const auto data = buffer_.data();
        const char* bytes = static_cast<const char*>(data.data());
        message_variant message;
        if (ws_.got_text())
            message.template emplace<std::string>(bytes, data.size());
        else
            message.template emplace<binary>(reinterpret_cast<const std::byte*>(bytes),
                                             reinterpret_cast<const std::byte*>(bytes) + data.size());
        buffer_.consume(buffer_.size());
        if (buffer_.capacity() > firstReadLimit)
            buffer_.shrink_to_fit(); // back to what the next pending read reserves

        // After close() the application has said its last word; what still arrives is not delivered.
        if (conn_->state.load(std::memory_order_acquire) == State::Open)
            if (auto handler = conn_->messageHandler()) {
                DeferDrains deferring;
                invokeGuarded("onMessage", [&] { (*handler)(std::move(message)); });
            }
        readNext();
        // The deferred drains go out when the stream reads from the socket again. If instead it now waits for a
        // write of ours (to answer a ping or a close), they must not wait with it.
        if (gathering().busy())
            flushDeferredDrains();
    }

    // --- sending ---

    // Takes what send() and close() queued since the last drain, in their order.
    void drain() {
        std::vector<message_variant> batch;
        CloseRequest request;
        {
            std::lock_guard lock(conn_->mutex);
            batch.swap(conn_->outgoing);
            conn_->drainPosted = false;
            request = std::exchange(conn_->closeRequest, CloseRequest::None);
        }
        if (finished_ || closeRequested_) {
            release(batch.begin(), batch.end());
            return;
        }
        if (outHead_ == outbox_.size()) {
            outbox_.swap(batch);
            outHead_ = 0;
        } else {
            std::move(batch.begin(), batch.end(), std::back_inserter(outbox_));
        }
        if (request != CloseRequest::None)
            return startClose(request == CloseRequest::Overflow);
        if (!writing_ && outHead_ < outbox_.size())
            writeNext();
    }

    void writeNext() {
        // Several messages waiting: they leave together in one system call (and one wake-up of the peer).
        if (!batching_ && outbox_.size() - outHead_ > 1) {
            batching_ = true;
            gathering().beginBatch();
        }
        writing_ = true;
        auto& message = outbox_[outHead_];
        ws_.text(std::holds_alternative<std::string>(message));
        const auto buffer = std::visit([](const auto& d) { return net::buffer(d.data(), d.size()); }, message);
        ws_.async_write(buffer, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            self->onWrite(ec);
        });
    }

    void onWrite(beast::error_code ec) {
        writing_ = false;
        release(outbox_.begin() + static_cast<std::ptrdiff_t>(outHead_),
                outbox_.begin() + static_cast<std::ptrdiff_t>(outHead_) + 1);
        ++outHead_;
        if (ec) {
            dropOutbox();
            endBatch();
            return closeSocket(); // the pending read fails next and finishes the connection
        }
        if (outHead_ < outbox_.size())
            return writeNext();
        dropOutbox();
        endBatch();
        if (closeRequested_ && !closeStarted_)
            beginCloseHandshake();
    }

    void endBatch() {
        if (batching_) {
            batching_ = false;
            gathering().endBatch();
        }
    }

    // Gives the bytes of these messages back to the outbound cap.
    template <class It> void release(It first, It last) {
        std::size_t bytes = 0;
        for (auto it = first; it != last; ++it)
            bytes += sizeOf(*it);
        std::lock_guard lock(conn_->mutex);
        conn_->buffered -= bytes;
    }

    // Drops every queued message except the one being written, which must complete.
    void dropQueuedBehindWrite() {
        const std::size_t keep = outHead_ + (writing_ ? 1 : 0);
        release(outbox_.begin() + static_cast<std::ptrdiff_t>(keep), outbox_.end());
        outbox_.resize(keep);
    }

    void dropOutbox() {
        if (writing_)
            return dropQueuedBehindWrite();
        release(outbox_.begin() + static_cast<std::ptrdiff_t>(outHead_), outbox_.end());
        outbox_ = {}; // an idle connection keeps no queue memory
        outHead_ = 0;
    }

    // --- closing ---

    void startClose(bool overflow) {
        if (finished_ || closeRequested_ || !ws_.is_open())
            return;
        closeRequested_ = true;
        closeCode_ = overflow ? websocket::close_code::policy_error : websocket::close_code::normal;
        if (overflow) {
            log(LogLevel::Warning, [&] {
                return "Closing " + conn_->remoteAddress.value_or("?") + ": outgoing queue over its cap";
            });
            // A peer that does not read gets nothing more; what is queued would only wait for it.
            dropQueuedBehindWrite();
        }
        // Graceful or not, a close that the peer stalls is forced after the deadline.
        armDeadline(shared_->settings.closeDeadline);
        if (!writing_ && outHead_ == outbox_.size())
            return beginCloseHandshake();
        if (!writing_)
            writeNext();
        // onWrite starts the close handshake once the queue has drained, so queued messages arrive first.
    }

    void beginCloseHandshake() {
        closeStarted_ = true;
        ws_.async_close(closeCode_, [self = this->shared_from_this()](beast::error_code ec) {
            if (ec)
                self->closeSocket();
        });
    }

    void forceClose() {
        closeSocket();
    }

    // Keepalive, ticked every quarter of the idle timeout: a connection from which nothing (no message, no
    // control frame) has arrived for half of it is pinged, and closed once the whole of it has passed in
    // silence. This also ends closing handshakes that a peer never finishes.
    void idleTick() {
        if (finished_ || !opened_)
            return;
        // A closing handshake (ours, the peer's, or one after a protocol error) that the peer leaves unfinished
        // would otherwise hold the connection until the whole idle timeout has passed in silence.
        if (!ws_.is_open() && ++closingTicks_ >= 2) {
            timedOut_ = true;
            return closeSocket();
        }
        if (activity_ != seenActivity_) {
            seenActivity_ = activity_;
            silentTicks_ = 0;
            return;
        }
        if (++silentTicks_ >= 4) {
            timedOut_ = true;
            return closeSocket();
        }
        if (silentTicks_ == 2 && ws_.is_open() && !closeStarted_ && !pinging_) {
            pinging_ = true;
            ws_.async_ping({}, [self = this->shared_from_this()](beast::error_code) { self->pinging_ = false; });
        }
    }

    void closeSocket() {
        beast::error_code ignored;
        auto& socket = beast::get_lowest_layer(ws_);
        if (socket.is_open()) {
            socket.shutdown(Socket::shutdown_both, ignored);
            socket.close(ignored);
        }
    }

    void armDeadline(std::chrono::milliseconds limit) {
        deadline_.expires_after(limit);
        deadline_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
            if (!ec)
                self->closeSocket();
        });
    }

    // The read loop's end, so it runs exactly once per opened connection, after its last message.
    void finish(beast::error_code ec) {
        flushDeferredDrains(); // the read loop ends here, so nothing else would post them
        if (finished_)
            return;
        finished_ = true;
        conn_->state.store(State::Closed, std::memory_order_release);
        deadline_.cancel();
        ws_.set_option(websocket::stream_base::timeout{websocket::stream_base::none(),
                                                       websocket::stream_base::none(), false});
        closeSocket();
        dropOutbox(); // a write still in flight completes with an error and gives back its own bytes
        buffer_ = beast::flat_buffer{};
        if (timedOut_)
            ec = beast::error::timeout;
        log(levelFor(ec), [&] {
            return "WebSocket closed: " + conn_->remoteAddress.value_or("?") + " (" + ec.message() + ")";
        });

        std::shared_ptr<const MessageCallback> message;
        std::shared_ptr<const ClosedCallback> closed;
        {
            std::lock_guard lock(conn_->mutex);
            message.swap(conn_->messageCallback);
            closed.swap(conn_->closedCallback);
        }
        if (closed)
            invokeGuarded("onClosed", [&] { (*closed)(); });
        // The application's closures are released here, after onClosed has returned.
    }

    Ws ws_;
    beast::flat_buffer buffer_;
    std::unique_ptr<http::request_parser<http::empty_body>> parser_; // only during the upgrade
    std::vector<message_variant> outbox_; // [outHead_] is being written while writing_
    std::size_t outHead_ = 0;
    net::steady_timer deadline_;                                     // opening handshake, then forced close
    std::shared_ptr<Connection> conn_;
    std::shared_ptr<Shared> shared_;
    websocket::close_code closeCode_ = websocket::close_code::normal;
    unsigned activity_ = 0;     // bumped by everything received
    unsigned seenActivity_ = 0; // activity_ at the last keepalive tick
    unsigned char silentTicks_ = 0;
    unsigned char closingTicks_ = 0;
    bool opened_ = false;
    bool pinging_ = false;
    bool timedOut_ = false;
    bool writing_ = false;
    bool batching_ = false;
    bool closeRequested_ = false; // close() or overflow seen; the close frame follows the queue
    bool closeStarted_ = false;   // async_close issued
    bool finished_ = false;       // onClosed delivered
};

} // namespace

void startSession(Socket socket, const tcp::endpoint& peer, std::shared_ptr<Shared> shared, net::ssl::context* tls) {
    if (tls)
        std::make_shared<Session<TlsStream>>(std::move(shared), std::move(socket), peer, *tls)->start();
    else
        std::make_shared<Session<PlainStream>>(std::move(shared), std::move(socket), peer)->start();
}

} // namespace rtc::detail
