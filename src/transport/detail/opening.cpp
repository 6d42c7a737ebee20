// A connection until its upgrade: Beast (and Asio's TLS stream) read the PROXY header, the TLS handshake and the
// requests, and write the answers; the upgrade hands the socket, and for TLS its OpenSSL session, to the
// WebSocket session. Every member of Opening is used only on the connection's I/O thread.
#include "transport/detail/opening.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <openssl/bio.h>
#include <openssl/ssl.h>

#include "transport/configuration.hpp"
#include "transport/detail/address.hpp"
#include "transport/detail/guard.hpp"
#include "transport/detail/http_message.hpp"
#include "transport/detail/log.hpp"
#include "transport/detail/proxy_header.hpp"
#include "transport/detail/session.hpp"
#include "transport/detail/upgrade_request.hpp"
#include "transport/websocket.hpp"

namespace rtc::detail {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

// The streams of the opening (TLS, the request, the upgrade's answer). After the upgrade the session reads and
// writes frames itself, on the bare socket or through TlsLink.
using PlainStream = websocket::stream<Socket&>;
using TlsStream = websocket::stream<net::ssl::stream<Socket&>>;

constexpr std::size_t maxDiscarded = 64 * 1024; // read and dropped after an answer before closing anyway
constexpr auto lingerLimit = std::chrono::milliseconds(1000);

// Whether the end of an opening is a refusal to count.
enum class Tally : unsigned char {
    Pending, // nothing decided: an end now is a refusal (a timeout, or a bad handshake)
    Served,  // a request was answered: an HTTP client that goes away is no refusal
    Settled, // counted (or not to be: the server dropped it, or it upgraded)
};

template <class Ws> class Opening final : public StoppableSession, public std::enable_shared_from_this<Opening<Ws>> {
    static constexpr bool tls = std::is_same_v<Ws, TlsStream>;

public:
    // A TLS connection holds its context for as long as it lives: a reload replaces the server's, not this one's.
    struct NoContext {
        NoContext(std::nullptr_t) {}
    };
    using TlsContext = std::conditional_t<tls, std::shared_ptr<net::ssl::context>, NoContext>;

    Opening(std::shared_ptr<Shared> shared, Socket&& socket, const tcp::endpoint& peer, TlsContext tlsContext)
        : tlsContext_(std::move(tlsContext)), socket_(std::move(socket)), deadline_(socket_.get_executor()),
          conn_(std::make_shared<Connection>()), shared_(std::move(shared)) {
        if constexpr (tls)
            ws_.emplace(socket_, *tlsContext_);
        else
            ws_.emplace(socket_);
        conn_->maxBuffered = shared_->settings.maxBuffered;
        if (peer.port() != 0)
            conn_->remoteAddress = formatEndpoint(peer);
        shared_->sessions.fetch_add(1, std::memory_order_relaxed);
    }

    ~Opening() override {
        leavePending();
        shared_->registry.remove(this);
        shared_->sessions.fetch_sub(1, std::memory_order_relaxed);
    }

    void start(const tcp::endpoint& peer) {
        shared_->registry.add(this, this->weak_from_this());
        net::dispatch(socket_.get_executor(), [self = this->shared_from_this(), peer] { self->open(peer); });
    }

    // --- called from any thread: post only ---

    void postForceClose() override {
        net::post(socket_.get_executor(), [self = this->shared_from_this()] { self->forceClose(); });
    }

    void postIdleTick() override {}

    // Not upgraded yet: the connection is dropped. (Once upgraded, the session is registered in its own right.)
    void postShutdownClose(uint16_t) override { postForceClose(); }

private:
    Socket& socket() { return socket_; }

    bool windingDown() const { return shared_->stopping || shared_->draining; }

    // The server is stopping or closing everything: this connection goes without being counted as refused.
    void drop() {
        tally_ = Tally::Settled;
        abandon({});
    }

    // Dropped by the server: no refusal. Only the socket goes here; the operation under way fails and abandons
    // the connection, so nothing it uses is destroyed under it.
    void forceClose() {
        tally_ = Tally::Settled;
        closeSocket();
    }

    void open(tcp::endpoint peer) {
        if (windingDown())
            return drop();
        const auto& settings = shared_->settings;
        const std::string ip = ipText(peer.address());
        clientIp_ = ip;
        if (!shared_->pending.enter(shared_->maxPending.load(std::memory_order_relaxed)))
            return abandon({}, Refusal::PendingTotal);
        pendingCounted_ = true;
        // One deadline from here to the upgrade, however many requests are answered meanwhile.
        if (settings.handshakeLimit.count() > 0)
            armDeadline(settings.handshakeLimit);
        if (settings.proxyProtocol)
            return startProxy(ip);
        // A trusted proxy's connection is its client's, named by the first request: until then it counts in
        // the total only.
        if (isTrustedProxy(ip))
            peerIp_ = ip;
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
        proxyPeek_.resize(256);
        socket().async_receive(
            net::buffer(proxyPeek_), net::socket_base::message_peek,
            [self = this->shared_from_this()](beast::error_code ec, std::size_t n) { self->onProxyPeek(ec, n); });
    }

    void onProxyPeek(beast::error_code ec, std::size_t n) {
        if (ec)
            return abandon(ec, timedOut_            ? Refusal::HandshakeTimeout
                               : proxyHead_.empty() ? Refusal::ProxyMissing
                                                    : Refusal::ProxyBad);
        const std::size_t had = proxyHead_.size();
        proxyHead_.append(proxyPeek_.data(), n);
        const auto header = parseProxyHeader(proxyHead_);
        switch (header.status) {
        case ProxyHeader::Status::NotProxy: return abandon({}, Refusal::ProxyMissing);
        case ProxyHeader::Status::Malformed: return abandon({}, Refusal::ProxyBad);
        case ProxyHeader::Status::NeedMore:
            // All of it is header: take it, so the next look waits for new bytes.
            return takeProxyBytes(n, [](Opening& self) { self.peekProxy(); });
        case ProxyHeader::Status::Done:
            if (header.source) {
                const auto& s = *header.source;
                net::ip::address address;
                if (s.v6)
                    address = net::ip::address_v6(s.address);
                else
                    address = net::ip::address_v4({s.address[0], s.address[1], s.address[2], s.address[3]});
                conn_->remoteAddress = formatEndpoint({address, s.port});
                clientIp_ = ipText(address);
                if (!enterClient(clientIp_, {}))
                    return;
            }
            // Without an address the connection is the proxy's own (a health check): counted in the total only.
            return takeProxyBytes(header.length - had, [](Opening& self) {
                self.proxyHead_ = std::string();
                self.proxyPeek_ = std::string();
                self.startTls();
            });
        }
    }

    template <class Next> void takeProxyBytes(std::size_t count, Next next) {
        net::async_read(socket(), net::buffer(proxyPeek_.data(), count),
                        [self = this->shared_from_this(), next](beast::error_code ec, std::size_t) {
                            if (ec)
                                return self->abandon(ec,
                                                     self->timedOut_ ? Refusal::HandshakeTimeout : Refusal::ProxyBad);
                            next(*self);
                        });
    }

    void readRequest() {
        auto& parser = parser_.emplace();
        parser.header_limit(static_cast<std::uint32_t>(maxRequestHeaderSize));
        http::async_read_header(
            ws_->next_layer(), buffer_, parser,
            [self = this->shared_from_this()](beast::error_code ec, std::size_t) { self->onRequest(ec); });
    }

    void onRequest(beast::error_code ec) {
        if (ec == http::error::header_limit)
            return respond(plainAnswer(431, "Request header fields too large.\n"), 11, false, false,
                           Refusal::HeaderTooLarge);
        if (ec)
            return abandon(ec);
        if (!peerIp_.empty()) {
            // The trusted proxy's first request names the client; later ones cannot change it.
            const std::string ip = std::exchange(peerIp_, std::string());
            forwardedFor_ = request().headerValues("X-Forwarded-For");
            if (!enterClient(ip, forwardedFor_))
                return;
        }
        ++requests_;
        auto& parser = *parser_;
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
        timeouts.handshake_timeout =
            settings.handshakeLimit.count() > 0
                ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(settings.handshakeLimit)
                : websocket::stream_base::none();
        // After the upgrade the session keeps time itself (its keepalive tick).
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_->set_option(timeouts);
        ws_->set_option(websocket::stream_base::decorator(
            [](websocket::response_type& res) { res.set(http::field::server, "murva-signal"); }));

        ws_->async_accept(req, [self = this->shared_from_this()](beast::error_code ec) {
            if (ec)
                return self->abandon(ec);
            self->onUpgraded();
        });
    }

    // A request that is no upgrade (or any request on an HTTP-only server): the application's answer, else
    // 426 (404 when there are no upgrades here at all).
    void serveHttp(bool head) {
        const auto& req = parser_->get();
        std::optional<HttpResponse> answer;
        if (auto handler = shared_->httpHandler())
            answer = ask("onHttpRequest", *handler);
        if (answer) {
            shared_->counters.httpAnswered();
            const bool keepAlive = req.keep_alive() && !windingDown() && requests_ < maxRequestsPerConnection;
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
        else if (tally_ == Tally::Pending)
            tally_ = Tally::Served;
        request_.reset();
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
        parser_.reset();
        buffer_.consume(buffer_.size());
        discardInput();
    }

    void discardInput() {
        socket().async_read_some(buffer_.prepare(1024),
                                 [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                                     self->discarded_ += n;
                                     if (ec || self->discarded_ > maxDiscarded)
                                         return self->abandon({});
                                     self->discardInput();
                                 });
    }

    // The request in public form, built once.
    const HttpRequest& request() {
        if (!request_)
            request_ = buildRequest(this);
        return *request_;
    }

    static HttpRequest buildRequest(const void* opening) {
        const auto& self = *static_cast<const Opening*>(opening);
        return toHttpRequest(*self.parser_, self.conn_->remoteAddress);
    }

    // The upgrade is done: the socket goes to the session, which the application then gets to know (onClient),
    // and only after that does it read, so the handlers installed by onClient see every message and the close.
    void onUpgraded() {
        deadline_.cancel();
        leavePending();
        if (windingDown())
            return drop();
        Upgraded upgraded{Socket(socket_.get_executor()), conn_, nullptr, nullptr};
        if constexpr (tls) {
            SSL* ssl = ws_->next_layer().native_handle();
            // A client may not send frames before it has our 101 (see onRequest), also not inside TLS.
            if (SSL_pending(ssl) > 0 || BIO_ctrl_pending(SSL_get_rbio(ssl)) > 0)
                return abandon(http::error::unexpected_body);
            SSL_up_ref(ssl); // the stream's engine frees its own reference
            upgraded.ssl = ssl;
            upgraded.tlsKeep = tlsContext_;
        }
        ws_.reset();
        upgraded.socket = std::move(socket_);
        auto session = makeSession(std::move(upgraded), shared_);
        if (!session)
            return abandon(http::error::unexpected_body);
        // The session is registered before this look, so a closeAll that this one misses reaches the session.
        if (windingDown())
            return session->drop();
        conn_->state.store(State::Open, std::memory_order_release);
        shared_->counters.upgraded();
        if (auto callback = shared_->clientHandler()) {
            auto handle = std::make_shared<WebSocket>(conn_);
            UpgradeRequestScope scope(conn_.get(), request_, &Opening::buildRequest, this);
            invokeGuarded("onClient", [&] { (*callback)(std::move(handle)); });
        }
        // After onClient: the application may have named the client behind its proxies.
        log(LogLevel::Debug, [&] { return "WebSocket open: " + conn_->logName(); });
        session->start();
    }

    // Counts the end of an opening once: as `why`, else by what happened.
    void count(std::optional<Refusal> why) {
        if (tally_ == Tally::Settled)
            return;
        const bool served = tally_ == Tally::Served;
        tally_ = Tally::Settled;
        if (!why) {
            if (served)
                return; // an HTTP client that has had its answers went away: no refusal
            why = timedOut_ ? Refusal::HandshakeTimeout : Refusal::BadHandshake;
        }
        shared_->counters.refused(*why);
        log(LogLevel::Debug,
            [&] { return "Refused " + conn_->remoteAddress.value_or("?") + ": " + refusalName(*why); });
        if (const auto& report = shared_->settings.onRefused; report && *why != Refusal::Vetoed)
            invokeGuarded("onRefused", [&] { report(refusalLabel(*why), clientIp_, forwardedFor_); });
    }

    // The connection never reached onClient: it goes without any callback.
    void abandon(beast::error_code ec, std::optional<Refusal> why = std::nullopt) {
        if (ec)
            log(LogLevel::Debug,
                [&] { return "Handshake with " + conn_->remoteAddress.value_or("?") + " failed: " + ec.message(); });
        count(why);
        leavePending();
        parser_.reset();
        request_.reset();
        deadline_.cancel();
        conn_->state.store(State::Closed, std::memory_order_release);
        closeSocket();
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
            self->timedOut_ = true; // the handshake ran out of time
            self->closeSocket();
        });
    }

    [[no_unique_address]] TlsContext tlsContext_; // first: it must outlive the stream
    Socket socket_;
    std::optional<Ws> ws_;      // the opening's streams over socket_
    beast::flat_buffer buffer_; // the request head
    std::optional<RequestParser> parser_;
    std::optional<HttpRequest> request_; // the request in public form, once something asked for it
    net::steady_timer deadline_;         // the handshake's, then the linger after a last answer
    std::shared_ptr<Connection> conn_;
    std::shared_ptr<Shared> shared_;
    std::string proxyHead_;                 // PROXY header bytes seen so far
    std::string proxyPeek_;                 // what one look at the socket found
    std::string peerIp_;                    // a trusted proxy's, while the client it stands for is not known yet
    std::string clientIp_;                  // the socket peer's, or the PROXY header's source
    std::vector<std::string> forwardedFor_; // a trusted proxy's first request's X-Forwarded-For lines
    std::optional<std::string> pendingKey_; // counted for this client while not upgraded
    std::size_t discarded_ = 0;             // bytes thrown away while closing after an answer
    unsigned requests_ = 0;                 // plain HTTP requests read
    Tally tally_ = Tally::Pending;
    bool pendingCounted_ = false; // counted in all while not upgraded
    bool timedOut_ = false;       // the handshake's deadline passed
};

} // namespace

void openConnection(Socket socket, const tcp::endpoint& peer, std::shared_ptr<Shared> shared,
                    std::shared_ptr<net::ssl::context> tls) {
    shared->counters.accepted();
    if (tls)
        std::make_shared<Opening<TlsStream>>(std::move(shared), std::move(socket), peer, std::move(tls))->start(peer);
    else
        std::make_shared<Opening<PlainStream>>(std::move(shared), std::move(socket), peer, nullptr)->start(peer);
}

} // namespace rtc::detail
