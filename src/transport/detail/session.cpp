// One accepted connection, from the TLS handshake to its close. Every member of Session is used only on the
// connection's I/O thread (its io_context runs on one thread, so that thread is the connection's strand).
#include "transport/detail/session.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <type_traits>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
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
#include "transport/detail/http_message.hpp"
#include "transport/detail/log.hpp"
#include "transport/detail/proxy_header.hpp"
#include "transport/detail/upgrade_request.hpp"
#include "transport/configuration.hpp"
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

constexpr std::size_t maxDiscarded = 64 * 1024; // read and dropped after an answer before closing anyway
constexpr auto lingerLimit = std::chrono::milliseconds(1000);
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
    // A TLS session holds its context for as long as it lives: a reload replaces the server's, not this one's.
    struct NoContext {
        NoContext(std::nullptr_t) {}
    };
    using TlsContext = std::conditional_t<tls, std::shared_ptr<net::ssl::context>, NoContext>;

    Session(std::shared_ptr<Shared> shared, Socket&& socket, const tcp::endpoint& peer, TlsContext tlsContext)
        : tlsContext_(std::move(tlsContext)), ws_(makeStream(std::move(socket), tlsContext_)),
          deadline_(ws_.get_executor()), conn_(std::make_shared<Connection>()), shared_(std::move(shared)) {
        conn_->maxBuffered = shared_->settings.maxBuffered;
        if (peer.port() != 0)
            conn_->remoteAddress = formatEndpoint(peer);
        shared_->sessions.fetch_add(1, std::memory_order_relaxed);
    }

    ~Session() override {
        shared_->registry.remove(this);
        shared_->sessions.fetch_sub(1, std::memory_order_relaxed);
    }

    void start(const tcp::endpoint& peer) {
        conn_->session = this->weak_from_this();
        gathering().setOwner(this->weak_from_this());
        shared_->registry.add(this, this->weak_from_this());
        net::dispatch(ws_.get_executor(), [self = this->shared_from_this(), peer] { self->open(peer); });
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

    void postShutdownClose(uint16_t code) override {
        net::post(ws_.get_executor(), [self = this->shared_from_this(), code] {
            if (self->opened_)
                requestClose(*self->conn_, code);
            else
                self->forceClose();
        });
    }

private:
    static Ws makeStream(Socket&& socket, TlsContext& tlsContext) {
        if constexpr (tls)
            return Ws(std::move(socket), *tlsContext);
        else
            return Ws(std::move(socket));
    }

    GatheringSocket& gathering() {
        if constexpr (tls)
            return ws_.next_layer().next_layer();
        else
            return ws_.next_layer();
    }

    Socket& socket() { return beast::get_lowest_layer(ws_); }

    // --- opening ---

    // Everything the connection needs only until it is upgraded (or has had its HTTP answer).
    struct Handshake {
        std::optional<RequestParser> parser;
        std::optional<HttpRequest> request; // the request in public form, once something asked for it
        std::string proxyHead;              // PROXY header bytes seen so far
        std::string proxyPeek;              // what one look at the socket found
        std::size_t discarded = 0;          // bytes thrown away while closing after an answer
        bool served = false;                // a request was answered: the connection's end is no refusal
        bool counted = false;               // its end has been counted (or is not to be)
    };

    bool windingDown() const { return shared_->stopping || shared_->draining; }

    // The server is stopping or closing everything: this connection goes without being counted as refused.
    void drop() {
        if (handshake_)
            handshake_->counted = true;
        abandon({});
    }

    void open(tcp::endpoint peer) {
        if (windingDown())
            return drop();
        handshake_ = std::make_unique<Handshake>();
        if (shared_->settings.handshakeLimit.count() > 0)
            armDeadline(shared_->settings.handshakeLimit);
        if (shared_->settings.proxyProtocol)
            return startProxy(peer);
        startTls();
    }

    void startTls() {
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

    // PROXY header: only a trusted peer may send one. The socket is looked at without taking bytes, and only
    // bytes known to belong to the header are taken, so what follows it (TLS, HTTP) stays for the next layer.
    void startProxy(const tcp::endpoint& peer) {
        auto address = peer.address();
        if (address.is_v6() && address.to_v6().is_v4_mapped())
            address = net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
        bool trusted = false;
        if (const auto& isTrusted = shared_->settings.trustedProxy)
            invokeGuarded("trustedProxy", [&] { trusted = isTrusted(address.to_string()); });
        if (!trusted)
            return abandon({}, Refusal::ProxyUntrusted);
        peekProxy();
    }

    void peekProxy() {
        auto& peek = handshake_->proxyPeek;
        peek.resize(256);
        socket().async_receive(net::buffer(peek), net::socket_base::message_peek,
                               [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                                   self->onProxyPeek(ec, n);
                               });
    }

    void onProxyPeek(beast::error_code ec, std::size_t n) {
        auto& h = *handshake_;
        if (ec)
            return abandon(ec, timedOut_           ? Refusal::HandshakeTimeout
                               : h.proxyHead.empty() ? Refusal::ProxyMissing
                                                     : Refusal::ProxyBad);
        const std::size_t had = h.proxyHead.size();
        h.proxyHead.append(h.proxyPeek.data(), n);
        const auto header = parseProxyHeader(h.proxyHead);
        switch (header.status) {
        case ProxyHeader::Status::NotProxy: return abandon({}, Refusal::ProxyMissing);
        case ProxyHeader::Status::Malformed: return abandon({}, Refusal::ProxyBad);
        case ProxyHeader::Status::NeedMore:
            // All of it is header: take it, so the next look waits for new bytes.
            return takeProxyBytes(n, [](Session& self) { self.peekProxy(); });
        case ProxyHeader::Status::Done:
            if (header.source) {
                const auto& s = *header.source;
                net::ip::address address;
                if (s.v6)
                    address = net::ip::address_v6(s.address);
                else
                    address = net::ip::address_v4({s.address[0], s.address[1], s.address[2], s.address[3]});
                conn_->remoteAddress = formatEndpoint({address, s.port});
            }
            return takeProxyBytes(header.length - had, [](Session& self) {
                self.handshake_->proxyHead = std::string();
                self.handshake_->proxyPeek = std::string();
                self.startTls();
            });
        }
    }

    template <class Next> void takeProxyBytes(std::size_t count, Next next) {
        net::async_read(socket(), net::buffer(handshake_->proxyPeek.data(), count),
                        [self = this->shared_from_this(), next](beast::error_code ec, std::size_t) {
                            if (ec)
                                return self->abandon(ec, self->timedOut_ ? Refusal::HandshakeTimeout
                                                                         : Refusal::ProxyBad);
                            next(*self);
                        });
    }

    void readRequest() {
        auto& parser = handshake_->parser.emplace();
        parser.header_limit(static_cast<std::uint32_t>(maxRequestHeaderSize));
        http::async_read_header(ws_.next_layer(), buffer_, parser,
                                [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                                    self->onRequest(ec);
                                });
    }

    void onRequest(beast::error_code ec) {
        if (ec == http::error::header_limit)
            return respond(plainAnswer(431, "Request header fields too large.\n"), 11, false, false,
                           Refusal::HeaderTooLarge);
        if (ec)
            return abandon(ec);
        auto& parser = *handshake_->parser;
        const auto& req = parser.get();
        const bool head = req.method() == http::verb::head;
        // Requests carry no body here; reading one would only cost memory.
        if (!parser.is_done())
            return respond(plainAnswer(413, "Request bodies are not accepted.\n"), req.version(), head, false,
                           Refusal::BadHandshake);
        if (shared_->settings.httpOnly || !websocket::is_upgrade(req))
            return serveHttp(head);
        // A client may not send frames before it has our 101; bytes past the request would otherwise be taken
        // for the start of the first message.
        if (buffer_.size() != 0)
            return abandon(http::error::unexpected_body);
        if (auto veto = shared_->upgradeHandler())
            if (auto refusal = ask("onUpgradeRequest", *veto))
                return respond(std::move(*refusal), req.version(), head, false, Refusal::Vetoed);

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

        ws_.async_accept(req, [self = this->shared_from_this()](beast::error_code ec) {
            if (ec)
                return self->abandon(ec);
            self->onOpen();
        });
    }

    // A request that is no upgrade (or any request on an HTTP-only server): the application's answer, else
    // 426 (404 when there are no upgrades here at all).
    void serveHttp(bool head) {
        const auto& req = handshake_->parser->get();
        std::optional<HttpResponse> answer;
        if (auto handler = shared_->httpHandler())
            answer = ask("onHttpRequest", *handler);
        if (answer) {
            shared_->counters.httpAnswered();
            const bool keepAlive = req.keep_alive() && !windingDown();
            return respond(std::move(*answer), req.version(), head, keepAlive, std::nullopt);
        }
        if (shared_->settings.httpOnly)
            return respond(plainAnswer(404, "Not found.\n"), req.version(), head, false, std::nullopt);
        auto upgrade = plainAnswer(426, "This is a WebSocket endpoint.\n");
        upgrade.headers.push_back({"Upgrade", "websocket"});
        respond(std::move(upgrade), req.version(), head, false, Refusal::BadHandshake);
    }

    // The application's answer to the request. A handler that throws has failed to decide: the client is told
    // so (500), which also keeps a failing upgrade check from letting the upgrade through.
    std::optional<HttpResponse> ask(const char* name, const HttpCallback& handler) {
        std::optional<HttpResponse> answer;
        bool returned = false;
        invokeGuarded(name, [&] {
            answer = handler(request());
            returned = true;
        });
        if (!returned)
            return plainAnswer(500, "Internal server error.\n");
        return answer;
    }

    // Sends an answer; then waits for the next request, or closes. A refusal is counted as `why`.
    void respond(HttpResponse answer, unsigned version, bool head, bool keepAlive, std::optional<Refusal> why) {
        if (why)
            count(*why);
        else
            handshake_->served = true;
        handshake_->request.reset();
        auto res = std::make_shared<BeastResponse>(toBeastResponse(std::move(answer), version, head, keepAlive));
        http::async_write(ws_.next_layer(), *res,
                          [self = this->shared_from_this(), res, keepAlive](beast::error_code ec, std::size_t) {
                              if (ec)
                                  return self->abandon(ec);
                              if (keepAlive)
                                  return self->nextRequest();
                              self->closeAfterAnswer();
                          });
    }

    void nextRequest() {
        if (windingDown())
            return drop();
        if (shared_->settings.handshakeLimit.count() > 0)
            armDeadline(shared_->settings.handshakeLimit);
        readRequest();
    }

    // Closing straight after an answer can reset the connection over bytes the client is still sending, and a
    // reset may destroy the answer before the client reads it. So: end our side, then read and discard what
    // still comes, briefly and boundedly.
    void closeAfterAnswer() {
        beast::error_code ignored;
        socket().shutdown(Socket::shutdown_send, ignored);
        armDeadline(std::min(shared_->settings.closeDeadline, std::chrono::milliseconds(lingerLimit)));
        handshake_->parser.reset();
        buffer_.consume(buffer_.size());
        discardInput();
    }

    void discardInput() {
        socket().async_read_some(buffer_.prepare(1024), [self = this->shared_from_this()](beast::error_code ec,
                                                                                          std::size_t n) {
            self->handshake_->discarded += n;
            if (ec || self->handshake_->discarded > maxDiscarded)
                return self->abandon({});
            self->discardInput();
        });
    }

    // The request in public form, built once.
    const HttpRequest& request() {
        auto& h = *handshake_;
        if (!h.request)
            h.request = buildRequest(this);
        return *h.request;
    }

    static HttpRequest buildRequest(const void* session) {
        const auto& self = *static_cast<const Session*>(session);
        return toHttpRequest(*self.handshake_->parser, self.conn_->remoteAddress);
    }

    void onOpen() {
        deadline_.cancel();
        if (windingDown())
            return drop();
        // A large request head may have grown the buffer; an idle connection keeps only what a read reserves.
        if (buffer_.capacity() > firstReadLimit)
            buffer_.shrink_to_fit();
        conn_->state.store(State::Open, std::memory_order_release);
        opened_ = true;
        shared_->counters.upgraded();
        log(LogLevel::Debug, [&] { return "WebSocket open: " + conn_->remoteAddress.value_or("?"); });

        if (auto callback = shared_->clientHandler()) {
            auto handle = std::make_shared<WebSocket>(conn_);
            UpgradeRequestScope scope(conn_.get(), handshake_->request, &Session::buildRequest, this);
            invokeGuarded("onClient", [&] { (*callback)(std::move(handle)); });
        }
        handshake_.reset(); // the request goes now: nothing of it stays with an idle connection
        // Only now: the handlers installed by onClient see every message and the close.
        readNext();
    }

    // Counts the end of a handshake once: as `why`, else by what happened.
    void count(std::optional<Refusal> why) {
        if (!handshake_ || handshake_->counted)
            return;
        handshake_->counted = true;
        if (!why) {
            if (handshake_->served)
                return; // an HTTP client that has had its answers went away: no refusal
            why = timedOut_ ? Refusal::HandshakeTimeout : Refusal::BadHandshake;
        }
        shared_->counters.refused(*why);
        log(LogLevel::Debug, [&] {
            static constexpr const char* names[] = {"bad handshake",     "handshake timeout", "request head too large",
                                                    "no PROXY header",   "bad PROXY header",  "untrusted PROXY peer",
                                                    "refused by the application"};
            return "Refused " + conn_->remoteAddress.value_or("?") + ": " + names[static_cast<std::size_t>(*why)];
        });
    }

    // The connection never reached onClient: close it without any callback.
    void abandon(beast::error_code ec, std::optional<Refusal> why = std::nullopt) {
        if (ec)
            log(LogLevel::Debug, [&] {
                return "Handshake with " + conn_->remoteAddress.value_or("?") + " failed: " + ec.message();
            });
        count(why);
        handshake_.reset();
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
        uint16_t code;
        {
            std::lock_guard lock(conn_->mutex);
            batch.swap(conn_->outgoing);
            conn_->drainPosted = false;
            request = std::exchange(conn_->closeRequest, CloseRequest::None);
            code = conn_->closeCode;
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
        if (request == CloseRequest::Overflow)
            return startClose(websocket::close_code::policy_error);
        if (request == CloseRequest::Normal)
            return startClose(static_cast<websocket::close_code>(code));
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

    void startClose(websocket::close_code code) {
        if (finished_ || closeRequested_ || !ws_.is_open())
            return;
        closeRequested_ = true;
        closeCode_ = code;
        if (code == websocket::close_code::policy_error) {
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
        if (handshake_)
            handshake_->counted = true; // dropped by the server: no refusal
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
            if (ec)
                return;
            if (!self->opened_)
                self->timedOut_ = true; // the handshake ran out of time
            self->closeSocket();
        });
    }

    // The close code the connection ends with: ours when we closed first, else the peer's, else 1006.
    unsigned closeCodeAtEnd(beast::error_code ec) const {
        if (closeRequested_)
            return closeCode_;
        if (ec == websocket::error::closed)
            return ws_.reason().code;
        if (ec == websocket::error::message_too_big)
            return websocket::close_code::too_big;
        if (ec == websocket::error::bad_frame_payload)
            return websocket::close_code::bad_payload;
        if (ec.category() == beast::error_code(websocket::error::closed).category())
            return websocket::close_code::protocol_error; // Beast failed the connection with 1002
        return websocket::close_code::abnormal;
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
        shared_->counters.closed(closeCodeAtEnd(ec));
        if (timedOut_) {
            ec = beast::error::timeout;
            shared_->counters.idleTimeout();
        }
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

    [[no_unique_address]] TlsContext tlsContext_; // first: it must outlive the stream
    Ws ws_;
    beast::flat_buffer buffer_;
    std::unique_ptr<Handshake> handshake_; // until onClient has returned (or the HTTP exchange ends)
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

void startSession(Socket socket, const tcp::endpoint& peer, std::shared_ptr<Shared> shared,
                  std::shared_ptr<net::ssl::context> tls) {
    shared->counters.accepted();
    if (tls)
        std::make_shared<Session<TlsStream>>(std::move(shared), std::move(socket), peer, std::move(tls))->start(peer);
    else
        std::make_shared<Session<PlainStream>>(std::move(shared), std::move(socket), peer, nullptr)->start(peer);
}

} // namespace rtc::detail
