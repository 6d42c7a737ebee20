// The server: I/O threads (one io_context each), the listening socket, the accept loop, the handler slots, and
// the ways to wind down (stop accepting, close all, stop).
#include "transport/websocket_server.hpp"

#include <algorithm>
#include <condition_variable>
#include <future>
#include <stdexcept>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "transport/detail/drain_deferral.hpp"
#include "transport/detail/log.hpp"
#include "transport/detail/opening.hpp"
#include "transport/detail/tls_context.hpp"

namespace rtc {
namespace detail {

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr std::chrono::milliseconds acceptRetryDelay{100};
constexpr std::chrono::seconds stopWaitLimit{5};

std::string describe(const tcp::endpoint& endpoint) {
    const auto address = endpoint.address();
    const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(endpoint.port());
}

tcp::endpoint resolveBindAddress(const std::optional<std::string>& bindAddress, uint16_t port) {
    if (!bindAddress || bindAddress->empty())
        return {tcp::v6(), port};
    boost::system::error_code ec;
    const auto address = net::ip::make_address(*bindAddress, ec);
    if (!ec)
        return {address, port};
    net::io_context ioc;
    tcp::resolver resolver(ioc);
    const auto results = resolver.resolve(*bindAddress, std::to_string(port), tcp::resolver::passive, ec);
    if (ec || results.empty())
        throw std::invalid_argument("Invalid bind address \"" + *bindAddress +
                                    "\": " + (ec ? ec.message() : std::string("no address found")));
    return results.begin()->endpoint();
}

SessionSettings settingsFrom(const WebSocketServerConfiguration& config) {
    SessionSettings s;
    s.handshakeLimit = config.connectionTimeout.value_or(defaultConnectionTimeout);
    s.closeDeadline = s.handshakeLimit.count() > 0 ? s.handshakeLimit : defaultConnectionTimeout;
    s.idleTimeout = config.idleTimeout.value_or(defaultIdleTimeout);
    s.maxMessageSize = config.maxMessageSize.value_or(0);
    if (s.maxMessageSize == 0)
        s.maxMessageSize = defaultMaxMessageSize; // never 0: the frame reader would refuse every message
    s.maxBuffered = config.maxBufferedAmount.value_or(std::max(minMaxBufferedAmount, 4 * s.maxMessageSize));
    s.httpOnly = config.httpOnly;
    s.proxyProtocol = config.proxyProtocol;
    s.trustedProxy = config.trustedProxy;
    s.clientKey = config.clientKey;
    s.onRefused = config.onRefused;
    if (s.proxyProtocol && !s.trustedProxy)
        throw std::invalid_argument("The PROXY protocol is enabled but no trusted proxy is given");
    return s;
}

bool isResourceShortage(const boost::system::error_code& ec) {
    return ec == net::error::no_descriptors || ec == net::error::no_buffer_space || ec == net::error::no_memory ||
           ec == boost::system::errc::too_many_files_open_in_system;
}

} // namespace

class ServerCore {
public:
    void post(std::function<void()> task) { net::post(*contexts_.front(), std::move(task)); }
    explicit ServerCore(const WebSocketServerConfiguration& config) : shared_(std::make_shared<Shared>()) {
        shared_->settings = settingsFrom(config);
        setPendingCaps(config.maxPendingPerClient, config.maxPending);
        if (config.enableTls)
            tls_.emplace(config);

        const unsigned threadCount = config.threads.value_or(std::clamp(std::thread::hardware_concurrency(), 2u, 4u));
        for (unsigned i = 0; i < std::max(threadCount, 1u); ++i) {
            // No concurrency hint of 1: with it Asio keeps a post made on the context's own thread in a private
            // queue until the running handler returns, so a send() from inside a handler could be overtaken
            // by a later send() to the same connection from another thread.
            contexts_.push_back(std::make_unique<net::io_context>());
            guards_.emplace_back(net::make_work_guard(*contexts_.back()));
        }
        acceptor_.emplace(*contexts_.front());
        retryTimer_.emplace(*contexts_.front());
        sweepTimer_.emplace(*contexts_.front());
        listen(config);

        if (shared_->settings.idleTimeout.count() > 0)
            net::post(*contexts_.front(), [this] { scheduleSweep(); });
        // Threads start only once listening worked, so a failed constructor leaves none behind.
        for (auto& ctx : contexts_)
            threads_.emplace_back([this, ioc = ctx.get()] { runLoop(*ioc); });
    }

    ~ServerCore() { stop(); }

    void onClient(std::function<void(std::shared_ptr<WebSocket>)> callback) {
        setSlot(shared_->clientCallback, std::move(callback));
        if (!shared_->settings.httpOnly)
            startAccepting();
    }

    void onHttpRequest(HttpCallback handler) {
        setSlot(shared_->httpCallback, std::move(handler));
        if (shared_->settings.httpOnly)
            startAccepting();
    }

    void onUpgradeRequest(HttpCallback handler) { setSlot(shared_->upgradeCallback, std::move(handler)); }

    uint16_t port() const { return port_; }

    void stopAccepting() {
        if (stopped_)
            return;
        auto closeAcceptor = [this] {
            boost::system::error_code ignored;
            acceptor_->close(ignored);
            retryTimer_->cancel();
        };
        auto& acceptorContext = *contexts_.front();
        if (acceptorContext.get_executor().running_in_this_thread())
            return closeAcceptor();
        auto done = std::make_shared<std::promise<void>>();
        auto closed = done->get_future();
        net::post(acceptorContext, [closeAcceptor, done] {
            closeAcceptor();
            done->set_value();
        });
        closed.wait_for(stopWaitLimit);
    }

    void closeAll(int code) {
        shared_->draining = true;
        const uint16_t sendable = sendableCloseCode(code);
        for (auto& session : shared_->registry.snapshot())
            session->postShutdownClose(sendable);
    }

    std::size_t connectionCount() const { return shared_->sessions.load(std::memory_order_relaxed); }

    void setPendingCaps(std::size_t perClient, std::size_t total) {
        shared_->maxPendingPerClient.store(perClient, std::memory_order_relaxed);
        shared_->maxPending.store(total, std::memory_order_relaxed);
    }

    void reloadCertificate() {
        if (!tls_)
            throw std::logic_error("TLS is not enabled on this server");
        tls_->reload();
        log(LogLevel::Info, [] { return std::string("TLS certificate reloaded"); });
    }

    std::optional<int64_t> certificateExpiry() const {
        if (!tls_)
            return std::nullopt;
        return tls_->expiry();
    }

    TransportCounters counters() const { return shared_->counters.snapshot(); }

    void stop() {
        if (stopped_.exchange(true))
            return;
        shared_->stopping = true;
        {
            std::lock_guard lock(shared_->clientMutex);
            shared_->clientCallback.reset();
            shared_->httpCallback.reset();
            shared_->upgradeCallback.reset();
        }
        net::post(*contexts_.front(), [this] {
            boost::system::error_code ignored;
            acceptor_->close(ignored);
            retryTimer_->cancel();
            sweepTimer_->cancel();
        });
        for (auto& session : shared_->registry.snapshot())
            session->postForceClose();
        for (auto& guard : guards_)
            guard.reset();

        // Every connection now ends by itself (each gets onClosed); wait for that, within a bound.
        {
            std::unique_lock lock(exitMutex_);
            if (!exitCv_.wait_for(lock, stopWaitLimit, [this] { return exited_ == threads_.size(); })) {
                log(LogLevel::Warning, [] { return std::string("Server stop timed out; stopping I/O forcibly"); });
                for (auto& ctx : contexts_)
                    ctx->stop();
            }
        }
        for (auto& t : threads_)
            if (t.joinable())
                t.join();
        log(LogLevel::Info, [] { return std::string("WebSocket server stopped"); });
    }

private:
    template <class Callback, class Function> void setSlot(std::shared_ptr<const Callback>& slot, Function f) {
        std::shared_ptr<const Callback> next;
        if (f)
            next = std::make_shared<const Callback>(std::move(f));
        std::lock_guard lock(shared_->clientMutex);
        slot.swap(next); // the old one is released outside the lock, on return
    }

    void startAccepting() {
        if (!accepting_.exchange(true))
            net::post(*contexts_.front(), [this] { acceptNext(); });
    }

    void listen(const WebSocketServerConfiguration& config) {
        const auto endpoint = resolveBindAddress(config.bindAddress, config.port);
        const bool anyAddress = !config.bindAddress || config.bindAddress->empty();
        boost::system::error_code ec;
        auto fail = [&](const tcp::endpoint& ep, const boost::system::error_code& e) {
            throw std::runtime_error("Cannot listen on " + describe(ep) + ": " + e.message());
        };

        tcp::endpoint chosen = endpoint;
        acceptor_->open(chosen.protocol(), ec);
        if (ec && anyAddress) { // no IPv6 on this machine: IPv4 only
            chosen = tcp::endpoint(tcp::v4(), config.port);
            ec.clear();
            acceptor_->open(chosen.protocol(), ec);
        }
        if (ec)
            fail(chosen, ec);
        if (chosen.address().is_v6())
            acceptor_->set_option(net::ip::v6_only(false), ec); // dual-stack: IPv4 clients too
        acceptor_->set_option(tcp::acceptor::reuse_address(true), ec);
        // Linux gives accepted sockets the listener's TCP_NODELAY: small messages are never held back waiting
        // for an acknowledgement, and no session needs a call of its own to say so.
        acceptor_->set_option(tcp::no_delay(true), ec);
        acceptor_->bind(chosen, ec);
        if (ec)
            fail(chosen, ec);
        acceptor_->listen(net::socket_base::max_listen_connections, ec);
        if (ec)
            fail(chosen, ec);
        port_ = acceptor_->local_endpoint().port();
        log(LogLevel::Info, [&] { return "Listening on " + describe(acceptor_->local_endpoint()); });
    }

    net::io_context& nextContext() { return *contexts_[nextContext_++ % contexts_.size()]; }

    // Runs on the first io_context's thread only.
    void acceptNext() {
        if (!acceptor_->is_open())
            return;
        // The peer's address comes with the accept, so no session asks the kernel for it again.
        acceptor_->async_accept(
            nextContext().get_executor(), peer_, [this](boost::system::error_code ec, Socket socket) {
                if (ec == net::error::operation_aborted)
                    return;
                if (!ec) {
                    // Also a connection accepted just before stopAccepting closed the listener: it is served (or,
                    // when the server is stopping, dropped by its opening).
                    openConnection(std::move(socket), peer_, shared_, tls_ ? tls_->current() : nullptr);
                    if (acceptor_->is_open())
                        acceptNext();
                    return;
                }
                if (!acceptor_->is_open())
                    return;
                if (isResourceShortage(ec)) {
                    // An immediate retry would spin while the process is out of descriptors.
                    log(LogLevel::Warning, [&] { return "Accept failed: " + ec.message() + "; retrying shortly"; });
                    retryTimer_->expires_after(acceptRetryDelay);
                    retryTimer_->async_wait([this](boost::system::error_code e) {
                        if (!e)
                            acceptNext();
                    });
                    return;
                }
                log(LogLevel::Debug, [&] { return "Accept failed: " + ec.message(); });
                acceptNext();
            });
    }

    // Every quarter of the idle timeout, each connection is told so (see the session's idleTick).
    void scheduleSweep() {
        if (stopped_)
            return;
        sweepTimer_->expires_after(shared_->settings.idleTimeout / 4);
        sweepTimer_->async_wait([this](boost::system::error_code ec) {
            if (ec || stopped_)
                return;
            for (auto& session : shared_->registry.snapshot())
                session->postIdleTick();
            scheduleSweep();
        });
    }

    void runLoop(net::io_context& ioc) {
        for (;;) {
            try {
                ioc.run();
                dropDeferredDrains(); // sessions must not outlive their io_context in this thread's list
                break;
            } catch (const std::exception& e) {
                log(LogLevel::Error, [&] { return std::string("I/O thread caught: ") + e.what(); });
            } catch (...) {
                log(LogLevel::Error, [] { return std::string("I/O thread caught a non-standard exception"); });
            }
        }
        std::lock_guard lock(exitMutex_);
        ++exited_;
        exitCv_.notify_all();
    }

    // Declared first, destroyed last: queued handlers that still own sessions go with them.
    std::vector<std::unique_ptr<net::io_context>> contexts_;
    std::vector<net::executor_work_guard<net::io_context::executor_type>> guards_;
    std::shared_ptr<Shared> shared_;
    std::optional<TlsContextSlot> tls_;
    std::optional<tcp::acceptor> acceptor_;
    tcp::endpoint peer_; // of the accept in progress
    std::optional<net::steady_timer> retryTimer_;
    std::optional<net::steady_timer> sweepTimer_;
    std::vector<std::thread> threads_;
    std::size_t nextContext_ = 0;
    uint16_t port_ = 0;
    std::atomic<bool> accepting_{false};
    std::atomic<bool> stopped_{false};
    std::mutex exitMutex_;
    std::condition_variable exitCv_;
    std::size_t exited_ = 0;
};

} // namespace detail

WebSocketServer::WebSocketServer(WebSocketServerConfiguration config)
    : core_(std::make_unique<detail::ServerCore>(config)) {}

WebSocketServer::~WebSocketServer() { stop(); }

void WebSocketServer::onClient(std::function<void(std::shared_ptr<WebSocket>)> callback) {
    core_->onClient(std::move(callback));
}

void WebSocketServer::onHttpRequest(HttpRequestHandler handler) { core_->onHttpRequest(std::move(handler)); }

void WebSocketServer::onUpgradeRequest(HttpRequestHandler handler) { core_->onUpgradeRequest(std::move(handler)); }

uint16_t WebSocketServer::port() const { return core_->port(); }

void WebSocketServer::stopAccepting() { core_->stopAccepting(); }

void WebSocketServer::post(std::function<void()> task) { core_->post(std::move(task)); }

void WebSocketServer::closeAll(int code) { core_->closeAll(code); }

std::size_t WebSocketServer::connectionCount() const { return core_->connectionCount(); }

void WebSocketServer::reloadCertificate() { core_->reloadCertificate(); }

void WebSocketServer::setPendingCaps(std::size_t perClient, std::size_t total) {
    core_->setPendingCaps(perClient, total);
}

std::optional<int64_t> WebSocketServer::certificateExpiry() const { return core_->certificateExpiry(); }

TransportCounters WebSocketServer::counters() const { return core_->counters(); }

void WebSocketServer::stop() { core_->stop(); }

} // namespace rtc
