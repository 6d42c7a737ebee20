// The generator's I/O: one io_context per thread, and a WebSocket client connection that lives on one of them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/beast/websocket/stream.hpp>

namespace bench {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

// A client TLS context for wss: TLS 1.2 or later, no certificate check (the bench's own certificate on loopback).
std::unique_ptr<ssl::context> makeTlsContext();

// Each thread runs its own io_context, so everything posted to context i runs on thread i, in order:
// a connection and the code driving it need no lock as long as both stay on one context.
class Engine {
public:
    explicit Engine(unsigned threads);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    unsigned threads() const { return static_cast<unsigned>(contexts_.size()); }
    net::io_context& context(unsigned i) { return *contexts_[i]; }
    template <class F> void post(unsigned i, F&& f) { net::post(*contexts_[i], std::forward<F>(f)); }

    // Lets the threads finish what is queued (at most `grace`), then stops what is left and joins them.
    void stop(std::chrono::milliseconds grace);

    // The first exception that escaped a handler, if any.
    std::string fault() const;

private:
    std::vector<std::unique_ptr<net::io_context>> contexts_;
    std::vector<std::optional<net::executor_work_guard<net::io_context::executor_type>>> guards_;
    std::vector<std::thread> threads_;
    std::atomic<unsigned> exited_{0};
    mutable std::mutex faultMutex_;
    std::string fault_;
};

class Client;

// What a workload hears from its connections, always on the connection's own thread.
class ClientEvents {
public:
    virtual void opened(Client& client) = 0;
    virtual void text(Client& client, std::string_view message) = 0;
    virtual void failed(Client& client, const char* stage, const beast::error_code& ec) = 0;
    virtual void closed(Client&) {}

protected:
    ~ClientEvents() = default;
};

// One WebSocket connection to the server, ws or (given a TLS context) wss. Everything about it, including its
// construction, runs on the thread of the io_context it was made on. It owns itself through its pending operations.
class Client : public std::enable_shared_from_this<Client> {
public:
    Client(net::io_context& ioc, ClientEvents& events, std::size_t id, ssl::context* tls = nullptr);

    // Connects (from `source` when given, port chosen by the kernel at connect time), upgrades, then reads.
    void connect(const tcp::endpoint& server, const std::optional<net::ip::address>& source, std::string_view host);

    // Queues one text frame; `text` must stay alive until written. Frames go out one write at a time, in order.
    void send(std::string_view text);

    // As send, with a copy of `text` kept until it is written.
    void sendCopy(std::string_view text);

    // WebSocket close handshake once the queue is written; `closed` follows.
    void close();

    // Drops the TCP connection at once; no event follows.
    void abort();

    bool open() const { return phase_ == Phase::Open; }
    const std::size_t id;

private:
    enum class Phase { Idle, Connecting, Upgrading, Open, Closing, Done };

    void onConnect(const beast::error_code& ec);
    void onTlsHandshake(const beast::error_code& ec);
    void onUpgrade(const beast::error_code& ec);
    void readNext();
    void onRead(const beast::error_code& ec);
    void writeNext();
    void onWrite(const beast::error_code& ec);
    void startClose();
    void fail(const char* stage, const beast::error_code& ec);

    // Calls f with whichever stream this client has; both have the same WebSocket interface.
    template <class F> void withStream(F&& f) {
        if (tls_)
            f(*tls_);
        else
            f(*plain_);
    }
    tcp::socket& socket();

    struct Outgoing {
        std::string copy;      // owned text, when sent with sendCopy
        std::string_view text; // what is written; points into `copy` or at the caller's text
    };

    ClientEvents& events_;
    std::optional<websocket::stream<tcp::socket>> plain_;
    std::optional<websocket::stream<ssl::stream<tcp::socket>>> tls_;
    beast::flat_buffer buffer_;
    std::deque<Outgoing> queue_; // front() is being written while writing_; a deque never moves its elements
    std::string host_;
    Phase phase_ = Phase::Idle;
    bool writing_ = false;
    bool closeStarted_ = false;
};

} // namespace bench
