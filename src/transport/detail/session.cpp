// One accepted connection, from the TLS handshake to its close: Beast (and Asio's TLS stream) until the upgrade,
// then frames read from the thread's buffer and written in batches by the session itself. Every member of
// Session is used only on the connection's I/O thread (its io_context runs on one thread, so that thread is the
// connection's strand).
#include "transport/detail/session.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <openssl/bio.h>
#include <openssl/ssl.h>

#include "transport/detail/address.hpp"
#include "transport/detail/drain_deferral.hpp"
#include "transport/detail/frame_reader.hpp"
#include "transport/detail/frame_writer.hpp"
#include "transport/detail/guard.hpp"
#include "transport/detail/http_message.hpp"
#include "transport/detail/io_buffer.hpp"
#include "transport/detail/log.hpp"
#include "transport/detail/proxy_header.hpp"
#include "transport/detail/tls_link.hpp"
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

// The streams of the handshake (TLS, the request, the upgrade's answer). After the upgrade the session reads and
// writes frames itself, on the bare socket or through TlsLink.
using PlainStream = websocket::stream<Socket&>;
using TlsStream = websocket::stream<net::ssl::stream<Socket&>>;

constexpr std::size_t maxDiscarded = 64 * 1024; // read and dropped after an answer before closing anyway
constexpr auto lingerLimit = std::chrono::milliseconds(1000);

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

// What a connection the peer's frames failed ends with, for the log.
beast::error_code faultError(std::uint16_t code) {
    switch (code) {
    case FrameReader::tooBig: return websocket::error::message_too_big;
    case FrameReader::badPayload: return websocket::error::bad_frame_payload;
    default: return websocket::error::bad_opcode; // one of the protocol's rules
    }
}

std::size_t sizeOf(const message_variant& m) {
    return std::visit([](const auto& d) { return d.size(); }, m);
}

template <class Ws>
class Session final : public SessionBase,
                      public StoppableSession,
                      public FrameReader::Handler,
                      public std::enable_shared_from_this<Session<Ws>> {
    static constexpr bool tls = std::is_same_v<Ws, TlsStream>;

public:
    // A TLS session holds its context for as long as it lives: a reload replaces the server's, not this one's.
    struct NoContext {
        NoContext(std::nullptr_t) {}
    };
    using TlsContext = std::conditional_t<tls, std::shared_ptr<net::ssl::context>, NoContext>;

    Session(std::shared_ptr<Shared> shared, Socket&& socket, const tcp::endpoint& peer, TlsContext tlsContext)
        : tlsContext_(std::move(tlsContext)), socket_(std::move(socket)), reader_(shared->settings.maxMessageSize),
          deadline_(socket_.get_executor()), conn_(std::make_shared<Connection>()), shared_(std::move(shared)) {
        if constexpr (tls)
            ws_.emplace(socket_, *tlsContext_);
        else
            ws_.emplace(socket_);
        conn_->maxBuffered = shared_->settings.maxBuffered;
        if (peer.port() != 0)
            conn_->remoteAddress = formatEndpoint(peer);
        shared_->sessions.fetch_add(1, std::memory_order_relaxed);
    }

    ~Session() override {
        leavePending();
        shared_->registry.remove(this);
        shared_->sessions.fetch_sub(1, std::memory_order_relaxed);
    }

    void start(const tcp::endpoint& peer) {
        conn_->session = this->weak_from_this();
        shared_->registry.add(this, this->weak_from_this());
        net::dispatch(socket_.get_executor(), [self = this->shared_from_this(), peer] { self->open(peer); });
    }

    // --- called from any thread: post only ---

    void postDrain() override {
        net::post(socket_.get_executor(), [self = this->shared_from_this()] { self->drain(); });
    }

    void runDrain() override {
        net::dispatch(socket_.get_executor(), [self = this->shared_from_this()] { self->drain(); });
    }

    void postForceClose() override {
        net::post(socket_.get_executor(), [self = this->shared_from_this()] { self->forceClose(); });
    }

    void postIdleTick() override {
        net::post(socket_.get_executor(), [self = this->shared_from_this()] { self->idleTick(); });
    }

    void postShutdownClose(uint16_t code) override {
        net::post(socket_.get_executor(), [self = this->shared_from_this(), code] {
            if (self->opened_)
                requestClose(*self->conn_, code);
            else
                self->forceClose();
        });
    }

private:
    Socket& socket() { return socket_; }

    // --- opening ---

    // Everything the connection needs only until it is upgraded (or has had its HTTP answer).
    struct Handshake {
        std::optional<RequestParser> parser;
        std::optional<HttpRequest> request; // the request in public form, once something asked for it
        std::string proxyHead;              // PROXY header bytes seen so far
        std::string proxyPeek;              // what one look at the socket found
        std::size_t discarded = 0;          // bytes thrown away while closing after an answer
        std::string peerIp;                 // while the client it stands for is not known yet
        unsigned requests = 0;              // plain HTTP requests read
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
        const auto& settings = shared_->settings;
        if (!shared_->pending.enter(shared_->maxPending.load(std::memory_order_relaxed)))
            return abandon({}, Refusal::PendingTotal);
        pendingCounted_ = true;
        // One deadline from here to the upgrade, however many requests are answered meanwhile.
        if (settings.handshakeLimit.count() > 0)
            armDeadline(settings.handshakeLimit);
        const std::string ip = ipText(peer.address());
        if (settings.proxyProtocol)
            return startProxy(ip);
        // A trusted proxy's connection is its client's, named by the first request: until then it counts in
        // the total only.
        if (isTrustedProxy(ip))
            handshake_->peerIp = ip;
        else if (!enterClient(ip, {}))
            return;
        startTls();
    }

    static std::string ipText(net::ip::address address) {
        if (address.is_v6() && address.to_v6().is_v4_mapped())
            address = net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
        return address.to_string();
    }

    bool isTrustedProxy(const std::string& ip) {
        bool trusted = false;
        if (const auto& isTrusted = shared_->settings.trustedProxy)
            invokeGuarded("trustedProxy", [&] { trusted = isTrusted(ip); });
        return trusted;
    }

    // Counts the connection for its client against the per-client cap; false when it is over it (and then
    // abandoned).
    bool enterClient(const std::string& ip, const std::vector<std::string>& forwardedFor) {
        const auto& settings = shared_->settings;
        const std::size_t cap = shared_->maxPendingPerClient.load(std::memory_order_relaxed);
        if (cap == 0)
            return true;
        std::string key = ip;
        if (const auto& keyOf = settings.clientKey)
            invokeGuarded("clientKey", [&] { key = keyOf(ip, forwardedFor); });
        if (key.empty())
            return true;
        if (!shared_->pending.enterClient(key, cap)) {
            abandon({}, Refusal::PendingPerClient);
            return false;
        }
        pendingKey_ = std::move(key);
        return true;
    }

    // The connection has upgraded or ends: it no longer counts against the caps of connections not upgraded.
    void leavePending() {
        if (pendingKey_) {
            shared_->pending.leaveClient(*pendingKey_);
            pendingKey_.reset();
        }
        if (std::exchange(pendingCounted_, false))
            shared_->pending.leave();
    }

    void startTls() {
        if constexpr (tls) {
            ws_->next_layer().async_handshake(net::ssl::stream_base::server,
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
    void startProxy(const std::string& ip) {
        if (!isTrustedProxy(ip))
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
                if (!enterClient(ipText(address), {}))
                    return;
            }
            // Without an address the connection is the proxy's own (a health check): counted in the total only.
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
        http::async_read_header(ws_->next_layer(), buffer_, parser,
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
        auto& h = *handshake_;
        if (!h.peerIp.empty()) {
            // The trusted proxy's first request names the client; later ones cannot change it.
            const std::string ip = std::exchange(h.peerIp, std::string());
            if (!enterClient(ip, request().headerValues("X-Forwarded-For")))
                return;
        }
        ++h.requests;
        auto& parser = *h.parser;
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
        // After the upgrade the session keeps time itself (idleTick).
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_->set_option(timeouts);
        ws_->set_option(websocket::stream_base::decorator(
            [](websocket::response_type& res) { res.set(http::field::server, "murva-signal"); }));

        ws_->async_accept(req, [self = this->shared_from_this()](beast::error_code ec) {
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
            const bool keepAlive =
                req.keep_alive() && !windingDown() && handshake_->requests < maxRequestsPerConnection;
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
        http::async_write(ws_->next_layer(), *res,
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
        leavePending();
        if (windingDown())
            return drop();
        if (!leaveHandshakeStreams())
            return abandon(http::error::unexpected_body);
        conn_->state.store(State::Open, std::memory_order_release);
        opened_ = true;
        shared_->counters.upgraded();
        if (auto callback = shared_->clientHandler()) {
            auto handle = std::make_shared<WebSocket>(conn_);
            UpgradeRequestScope scope(conn_.get(), handshake_->request, &Session::buildRequest, this);
            invokeGuarded("onClient", [&] { (*callback)(std::move(handle)); });
        }
        // After onClient: the application may have named the client behind its proxies.
        log(LogLevel::Debug, [&] { return "WebSocket open: " + logName(); });
        handshake_.reset(); // the request goes now: nothing of it stays with an idle connection
        // Only now: the handlers installed by onClient see every message and the close.
        waitReadable();
    }

    // The connection in log lines: the client the application named, else the socket's (or PROXY header's) peer.
    std::string logName() const {
        return conn_->clientAddress.empty() ? conn_->remoteAddress.value_or("?") : conn_->clientAddress;
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
            static constexpr const char* names[] = {"bad handshake",
                                                    "handshake timeout",
                                                    "request head too large",
                                                    "no PROXY header",
                                                    "bad PROXY header",
                                                    "untrusted PROXY peer",
                                                    "refused by the application",
                                                    "too many connections not upgraded from this client",
                                                    "too many connections not upgraded"};
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
        leavePending();
        handshake_.reset();
        deadline_.cancel();
        conn_->state.store(State::Closed, std::memory_order_release);
        closeSocket();
    }

    // --- after the upgrade ---

    // The handshake's streams go: the connection keeps its socket, and for TLS the OpenSSL session under its
    // own small link. False when the connection cannot go on.
    bool leaveHandshakeStreams() {
        if constexpr (tls) {
            SSL* ssl = ws_->next_layer().native_handle();
            // A client may not send frames before it has our 101 (see onRequest), also not inside TLS.
            if (SSL_pending(ssl) > 0 || BIO_ctrl_pending(SSL_get_rbio(ssl)) > 0)
                return false;
            SSL_up_ref(ssl); // the stream's engine frees its own reference
            ws_.reset();
            if (!tls_.adopt(ssl))
                return false;
        } else {
            ws_.reset();
        }
        buffer_ = beast::flat_buffer{};
        boost::system::error_code ec;
        socket_.non_blocking(true, ec);
        return !ec;
    }

    // --- receiving ---

    // Waiting costs no buffer: the bytes are read once they are there, into the thread's buffer.
    // While a write is under way nothing more is read (its end resumes reading): a peer that does not take what
    // we send cannot make us read, and answer, without end. Its bytes wait in the kernel's buffers, and since
    // nothing arrives meanwhile, the idle timeout ends a peer that never reads.
    void waitReadable() {
        // The messages of the last read have all reached their peers' queues: now their drains go.
        flushDeferredDrains();
        if (writing_) {
            readPaused_ = true;
            return;
        }
        socket_.async_wait(Socket::wait_read,
                           [self = this->shared_from_this()](beast::error_code ec) { self->onReadable(ec); });
    }

    void onReadable(beast::error_code ec) {
        if (ec)
            return finish(ec);
        // What is waiting, up to the buffer's size. A buffer filled to the brim leaves more behind, but the
        // next read waits its turn behind the thread's other connections: a flooding peer cannot starve them.
        char* buffer = socketBuffer();
        const std::size_t n = socket_.read_some(net::buffer(buffer, ioBufferSize), ec);
        if (ec && ec != net::error::would_block && ec != net::error::try_again)
            return finish(ec);
        if (!ec) {
            ++activity_;
            if (!received(buffer, n))
                return;
        }
        flushOutput();
        waitReadable();
    }

    // Handles bytes off the socket; false when the connection has ended.
    bool received(char* bytes, std::size_t size) {
        if constexpr (!tls) {
            return parse(bytes, size);
        } else {
            tls_.provide(bytes, size);
            char* plain = plainBuffer();
            for (;;) {
                const long n = tls_.decrypt(plain, ioBufferSize);
                if (n == TlsLink::needInput)
                    return true;
                if (n == TlsLink::peerClosed) {
                    finish(net::error::eof);
                    return false;
                }
                if (n < 0) {
                    finish(net::ssl::error::stream_truncated);
                    return false;
                }
                parse(plain, static_cast<std::size_t>(n));
            }
        }
    }

    // Every complete frame in these bytes; their messages reach the application one after the other.
    bool parse(char* bytes, std::size_t size) {
        if (tearingDown_ || reader_.closed())
            return true; // closing: what still arrives is read and dropped
        DeferDrains deferring;
        if (const auto fault = reader_.feed(bytes, size, *this))
            fail(fault);
        return true;
    }

    void onMessage(bool text, std::string_view payload) override {
        // After close() the application has said its last word; what still arrives is not delivered.
        if (conn_->state.load(std::memory_order_acquire) != State::Open)
            return;
        auto handler = conn_->messageHandler();
        if (!handler)
            return;
        message_variant message;
        if (text)
            message.template emplace<std::string>(payload);
        else
            message.template emplace<binary>(reinterpret_cast<const std::byte*>(payload.data()),
                                             reinterpret_cast<const std::byte*>(payload.data()) + payload.size());
        invokeGuarded("onMessage", [&] { (*handler)(std::move(message)); });
    }

    // Only the latest ping is answered (RFC 6455 5.5.3 allows that), when the next write starts: pings that
    // come faster than their pongs leave cost no memory.
    void onPing(std::string_view payload) override {
        if (closing_)
            return;
        pong_.assign(payload);
        pongDue_ = true;
    }

    void onPong() override {}

    // The peer's close: answered with the same code (after what is queued), then the TCP teardown.
    void onClose(std::uint16_t code, std::string_view) override {
        if (!endCode_)
            endCode_ = code;
        peerClosed_ = true;
        if (!closing_) {
            closing_ = true;
            appendClose(frames_, code);
        }
        teardownAfterWrites();
    }

    // A frame broke the protocol: the peer is told why, and nothing more is sent or delivered.
    void fail(std::uint16_t code) {
        if (!endCode_)
            endCode_ = code;
        failed_ = true;
        dropPendingFrames();
        if (!closing_) {
            closing_ = true;
            appendClose(frames_, code);
        }
        teardownAfterWrites();
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
        if (finished_ || closing_) {
            release(batch);
            return;
        }
        for (const auto& message : batch) {
            std::visit(
                [&](const auto& data) {
                    const bool text = std::is_same_v<std::decay_t<decltype(data)>, std::string>;
                    appendFrame(frames_, text ? Opcode::Text : Opcode::Binary,
                                {reinterpret_cast<const char*>(data.data()), data.size()});
                    queuedBytes_ += data.size();
                },
                message);
        }
        batch = {};
        if (request == CloseRequest::Overflow)
            return startClose(1008);
        if (request == CloseRequest::Normal)
            return startClose(code);
        flushOutput();
    }

    // Starts writing what is queued unless a write is under way (its end starts the next one). Everything
    // queued leaves together: one system call (and one wake-up of the peer) for a whole batch.
    void flushOutput() {
        if (writing_ || finished_)
            return;
        if (std::exchange(pongDue_, false) && !closing_) {
            appendControl(Opcode::Pong, pong_);
            pong_ = std::string();
            if (closing_)
                return; // over the cap: startClose has flushed already
        }
        if constexpr (tls) {
            if (!frames_.empty()) {
                const bool encrypted = tls_.encrypt(frames_);
                frames_ = std::string();
                if (!encrypted) {
                    dropPendingFrames();
                    return closeSocket(); // the pending wait fails next and finishes the connection
                }
            }
            if (teardownReady() && !notified_) {
                notified_ = true;
                tls_.closeNotify();
            }
            sending_.swap(tls_.output());
        } else {
            sending_.swap(frames_);
        }
        sendingBytes_ = std::exchange(queuedBytes_, 0);
        if (sending_.empty()) {
            sending_ = std::string(); // an idle connection keeps no write buffer
            if (teardownReady())
                shutdownSend();
            return;
        }
        writing_ = true;
        net::async_write(socket_, net::buffer(sending_),
                         [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                             self->onWrite(ec);
                         });
    }

    void onWrite(beast::error_code ec) {
        writing_ = false;
        sending_ = std::string();
        releaseBytes(std::exchange(sendingBytes_, 0));
        // One read per completed write while the peer takes what we send slowly; after an error the wait fails
        // at once and finishes the connection.
        if (std::exchange(readPaused_, false))
            waitReadable();
        if (ec) {
            dropPendingFrames();
            return closeSocket(); // the pending wait fails next and finishes the connection
        }
        flushOutput();
    }

    // A control frame of ours counts against the outbound cap like a message, until it is written.
    void appendControl(Opcode opcode, std::string_view payload) {
        const std::size_t size = payload.size() + 2;
        bool over;
        {
            std::lock_guard lock(conn_->mutex);
            over = conn_->buffered + size > conn_->maxBuffered;
            if (!over)
                conn_->buffered += size;
            else if (conn_->state.load(std::memory_order_relaxed) == State::Open)
                conn_->state.store(State::Closing, std::memory_order_release);
        }
        if (over)
            return startClose(1008);
        appendFrame(frames_, opcode, payload);
        queuedBytes_ += size;
    }

    // Gives the bytes of these messages back to the outbound cap.
    void release(const std::vector<message_variant>& batch) {
        std::size_t bytes = 0;
        for (const auto& message : batch)
            bytes += sizeOf(message);
        releaseBytes(bytes);
    }

    void releaseBytes(std::size_t bytes) {
        if (bytes == 0)
            return;
        std::lock_guard lock(conn_->mutex);
        conn_->buffered -= bytes;
    }

    // Drops every frame not yet handed to the socket; a write under way completes.
    void dropPendingFrames() {
        frames_ = std::string();
        releaseBytes(std::exchange(queuedBytes_, 0));
    }

    // --- closing ---

    void startClose(uint16_t code) {
        if (finished_ || closing_)
            return;
        closing_ = true;
        closeRequested_ = true;
        if (!endCode_)
            endCode_ = code;
        if (code == 1008) {
            log(LogLevel::Warning, [&] {
                return "Closing " + logName() + ": outgoing queue over its cap";
            });
            // A peer that does not read gets nothing more; what is queued would only wait for it.
            dropPendingFrames();
        }
        // Queued messages go first, then the close frame; the peer's answer ends the handshake.
        appendClose(frames_, code);
        // Graceful or not, a close that the peer stalls is forced after the deadline.
        armDeadline(shared_->settings.closeDeadline);
        flushOutput();
    }

    // Once everything queued (the close frame last) has been written: TLS's close_notify, then our FIN. What
    // the peer still sends is read and dropped until it closes its side too.
    void teardownAfterWrites() {
        tearingDown_ = true;
        flushOutput();
    }

    bool teardownReady() const { return tearingDown_ && !writing_ && frames_.empty(); }

    void shutdownSend() {
        if (sentFin_)
            return;
        sentFin_ = true;
        beast::error_code ignored;
        socket_.shutdown(Socket::shutdown_send, ignored);
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
        if (closing_ && ++closingTicks_ >= 2) {
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
        if (silentTicks_ == 2 && !closing_) {
            appendControl(Opcode::Ping, {});
            flushOutput();
        }
    }

    void closeSocket() {
        beast::error_code ignored;
        if (socket_.is_open()) {
            socket_.shutdown(Socket::shutdown_both, ignored);
            socket_.close(ignored);
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

    // The close code the connection ends with: ours when we closed first, else the peer's (0 for a close frame
    // without one), else the one a fault failed it with, else 1006.
    unsigned closeCodeAtEnd() const {
        if (closeRequested_ || peerClosed_ || failed_)
            return endCode_;
        return 1006;
    }

    // The read loop's end, so it runs exactly once per opened connection, after its last message.
    void finish(beast::error_code ec) {
        flushDeferredDrains(); // the read loop ends here, so nothing else would post them
        if (finished_)
            return;
        finished_ = true;
        conn_->state.store(State::Closed, std::memory_order_release);
        deadline_.cancel();
        closeSocket();
        dropPendingFrames(); // a write still in flight completes with an error and gives back its own bytes
        reader_ = FrameReader(shared_->settings.maxMessageSize);
        if (failed_)
            ec = faultError(endCode_);
        else if (peerClosed_ || (tearingDown_ && ec == net::error::eof))
            ec = websocket::error::closed; // the closing handshake ended as it should
        shared_->counters.closed(closeCodeAtEnd());
        if (timedOut_) {
            ec = beast::error::timeout;
            shared_->counters.idleTimeout();
        }
        log(levelFor(ec), [&] {
            return "WebSocket closed: " + logName() + " (" + ec.message() + ")";
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
    Socket socket_;
    std::optional<Ws> ws_;                 // the handshake's streams, until the upgrade
    beast::flat_buffer buffer_;            // the request head, until the upgrade
    std::unique_ptr<Handshake> handshake_; // until onClient has returned (or the HTTP exchange ends)
    struct NoLink {};
    [[no_unique_address]] std::conditional_t<tls, TlsLink, NoLink> tls_; // after the upgrade
    FrameReader reader_;
    std::string frames_;  // frames queued, not yet handed to the socket (nor to TLS)
    std::string sending_; // bytes being written to the socket
    std::size_t queuedBytes_ = 0;  // message bytes in frames_, owed back to the outbound cap once written
    std::size_t sendingBytes_ = 0; // the same for sending_
    net::steady_timer deadline_;   // opening handshake, then forced close
    std::shared_ptr<Connection> conn_;
    std::shared_ptr<Shared> shared_;
    std::string pong_;          // the payload of the latest ping not answered yet
    unsigned activity_ = 0;     // bumped by everything received
    unsigned seenActivity_ = 0; // activity_ at the last keepalive tick
    uint16_t endCode_ = 0;      // the first close code that applies (see closeCodeAtEnd)
    unsigned char silentTicks_ = 0;
    unsigned char closingTicks_ = 0;
    std::optional<std::string> pendingKey_; // counted for this client while not upgraded
    bool pendingCounted_ = false;           // counted in all while not upgraded
    bool opened_ = false;
    bool timedOut_ = false;
    bool writing_ = false;
    bool readPaused_ = false; // no wait for input is pending: the write under way resumes it
    bool pongDue_ = false;
    bool closing_ = false;        // a close frame is queued or sent, or the peer's has arrived
    bool closeRequested_ = false; // close() or overflow seen first
    bool peerClosed_ = false;     // the peer's close frame has arrived
    bool failed_ = false;         // the peer broke the protocol
    bool tearingDown_ = false;    // after the close frames: FIN once written, then read until the peer's end
    bool notified_ = false;       // TLS close_notify queued
    bool sentFin_ = false;
    bool finished_ = false; // onClosed delivered
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
