#include "support/ws_client.hpp"

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

namespace testing_support {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

// The clients' shared I/O threads, started on first use and kept for the life of the test program.
class ClientIo {
public:
    static ClientIo& instance() {
        static ClientIo io;
        return io;
    }
    net::io_context ioc;
    net::ssl::context tls{net::ssl::context::tls_client};

private:
    ClientIo() : guard_(net::make_work_guard(ioc)) {
        tls.set_verify_mode(net::ssl::verify_none);
        for (int i = 0; i < 2; ++i)
            threads_.emplace_back([this] { ioc.run(); });
    }
    ~ClientIo() {
        guard_.reset();
        ioc.stop();
        for (auto& t : threads_)
            t.join();
    }
    net::executor_work_guard<net::io_context::executor_type> guard_;
    std::vector<std::thread> threads_;
};

} // namespace

struct WsClient::Impl : std::enable_shared_from_this<WsClient::Impl> {
    using Plain = websocket::stream<tcp::socket>;
    using Tls = websocket::stream<net::ssl::stream<tcp::socket>>;

    explicit Impl(bool useTls) : strand(net::make_strand(ClientIo::instance().ioc)) {
        if (useTls)
            tls.emplace(tcp::socket(strand), ClientIo::instance().tls);
        else
            plain.emplace(tcp::socket(strand));
    }

    template <class F> void withStream(F&& f) {
        if (tls)
            f(*tls);
        else
            f(*plain);
    }
    tcp::socket& socket() { return tls ? beast::get_lowest_layer(*tls) : beast::get_lowest_layer(*plain); }

    void startReading() {
        withStream([&](auto& ws) {
            ws.async_read(buffer, [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
        });
    }

    void onRead(beast::error_code ec) {
        std::lock_guard lock(mutex);
        if (ec) {
            closed = true;
            withStream([&](auto& ws) {
                if (ec == websocket::error::closed)
                    closeCode = ws.reason().code;
            });
            if (!closeCode)
                closeCode = 0;
            cv.notify_all();
            return;
        }
        Frame frame;
        withStream([&](auto& ws) { frame.text = ws.got_text(); });
        frame.data = beast::buffers_to_string(buffer.data());
        buffer.consume(buffer.size());
        inbox.push_back(std::move(frame));
        cv.notify_all();
        startReading();
    }

    void write(Frame frame) {
        net::post(strand, [self = shared_from_this(), frame = std::move(frame)]() mutable {
            self->outbox.push_back(std::move(frame));
            if (self->outbox.size() == 1)
                self->writeFront();
        });
    }

    void writeFront() {
        withStream([&](auto& ws) {
            ws.text(outbox.front().text);
            ws.async_write(net::buffer(outbox.front().data),
                           [self = shared_from_this()](beast::error_code ec, std::size_t) {
                               self->outbox.pop_front();
                               if (!ec && !self->outbox.empty())
                                   self->writeFront();
                               else if (!ec && self->closeCodeToSend)
                                   self->sendClose();
                           });
        });
    }

    // The close frame goes after every frame queued before close().
    void sendClose() {
        const int code = *std::exchange(closeCodeToSend, std::nullopt);
        withStream([&](auto& ws) {
            if (ws.is_open())
                ws.async_close(static_cast<websocket::close_code>(code),
                               [self = shared_from_this()](beast::error_code) {});
        });
    }

    net::strand<net::io_context::executor_type> strand;
    std::optional<int> closeCodeToSend; // on the strand
    std::optional<Plain> plain;
    std::optional<Tls> tls;
    beast::flat_buffer buffer;
    std::deque<Frame> outbox; // on the strand

    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Frame> inbox;
    bool closed = false;
    std::optional<int> closeCode;
    uint16_t localPort = 0;     // set before connect() returns
    std::string preamble;       // until written
    std::string tlsPeerSubject; // set before connect() returns
};

WsClient::WsClient(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

WsClient::~WsClient() { abort(); }

std::unique_ptr<WsClient> WsClient::connect(uint16_t port, const ClientOptions& options) {
    auto impl = std::make_shared<Impl>(options.tls);
    impl->preamble = options.preamble;
    auto done = std::make_shared<std::promise<beast::error_code>>();
    auto result = done->get_future();

    net::post(impl->strand, [impl, done, port, options] {
        try {
            auto& socket = impl->socket();
            const auto address = net::ip::make_address(options.host);
            const tcp::endpoint endpoint(address, port);
            socket.open(endpoint.protocol());
            if (!options.sourceAddress.empty())
                socket.bind(tcp::endpoint(net::ip::make_address(options.sourceAddress), 0));
            socket.async_connect(endpoint, [impl, done, options](beast::error_code ec) {
                if (ec)
                    return done->set_value(ec);
                beast::error_code ignored;
                impl->localPort = impl->socket().local_endpoint(ignored).port();
                auto upgrade = [impl, done, options] {
                    impl->withStream([&](auto& ws) {
                        ws.set_option(websocket::stream_base::decorator(
                            [headers = options.headers](websocket::request_type& req) {
                                for (const auto& [name, value] : headers)
                                    req.insert(name, value);
                            }));
                        ws.async_handshake(options.host, options.target,
                                           [impl, done](beast::error_code ec) { done->set_value(ec); });
                    });
                };
                auto secure = [impl, done, upgrade] {
                    if (!impl->tls)
                        return upgrade();
                    impl->tls->next_layer().async_handshake(
                        net::ssl::stream_base::client, [impl, done, upgrade](beast::error_code ec) {
                            if (ec)
                                return done->set_value(ec);
                            if (X509* cert = SSL_get1_peer_certificate(impl->tls->next_layer().native_handle())) {
                                char subject[256];
                                X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
                                impl->tlsPeerSubject = subject;
                                X509_free(cert);
                            }
                            upgrade();
                        });
                };
                if (impl->preamble.empty())
                    return secure();
                net::async_write(impl->socket(), net::buffer(impl->preamble),
                                 [done, secure](beast::error_code ec, std::size_t) {
                                     if (ec)
                                         return done->set_value(ec);
                                     secure();
                                 });
            });
        } catch (const boost::system::system_error& e) {
            done->set_value(e.code());
        }
    });

    if (result.wait_for(options.timeout) != std::future_status::ready) {
        net::post(impl->strand, [impl] {
            beast::error_code ignored;
            impl->socket().close(ignored);
        });
        result.wait();
        throw std::runtime_error("WebSocket connect timed out");
    }
    if (const auto ec = result.get())
        throw std::runtime_error("WebSocket connect failed: " + ec.message());
    net::post(impl->strand, [impl] { impl->startReading(); });
    return std::unique_ptr<WsClient>(new WsClient(impl));
}

void WsClient::sendText(std::string text) { impl_->write({true, std::move(text)}); }

void WsClient::sendBinary(std::string bytes) { impl_->write({false, std::move(bytes)}); }

std::optional<Frame> WsClient::receiveFrame(std::chrono::milliseconds timeout) {
    std::unique_lock lock(impl_->mutex);
    impl_->cv.wait_for(lock, timeout, [&] { return !impl_->inbox.empty() || impl_->closed; });
    if (impl_->inbox.empty())
        return std::nullopt;
    Frame frame = std::move(impl_->inbox.front());
    impl_->inbox.pop_front();
    return frame;
}

std::optional<std::string> WsClient::receive(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        auto frame = receiveFrame(std::max(left, std::chrono::milliseconds(0)));
        if (!frame)
            return std::nullopt;
        if (frame->text)
            return std::move(frame->data);
    }
}

bool WsClient::receivesNothing(std::chrono::milliseconds quiet) {
    std::unique_lock lock(impl_->mutex);
    return !impl_->cv.wait_for(lock, quiet, [&] { return !impl_->inbox.empty(); });
}

std::optional<int> WsClient::waitClosed(std::chrono::milliseconds timeout) {
    std::unique_lock lock(impl_->mutex);
    if (!impl_->cv.wait_for(lock, timeout, [&] { return impl_->closed; }))
        return std::nullopt;
    return impl_->closeCode;
}

bool WsClient::isClosed() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->closed;
}

void WsClient::close(int code) {
    auto impl = impl_;
    net::post(impl->strand, [impl, code] {
        impl->closeCodeToSend = code;
        if (impl->outbox.empty())
            impl->sendClose();
    });
    waitClosed(3s);
}

void WsClient::abort() {
    auto impl = impl_;
    std::promise<void> done;
    auto finished = done.get_future();
    net::post(impl->strand, [impl, &done] {
        beast::error_code ignored;
        impl->socket().close(ignored);
        done.set_value();
    });
    finished.wait();
}

uint16_t WsClient::localPort() const { return impl_->localPort; }

std::string WsClient::tlsPeerSubject() const { return impl_->tlsPeerSubject; }

} // namespace testing_support
