#include "client.hpp"

#include <netinet/in.h>

#include <boost/beast/websocket/stream.hpp>

namespace bench {

#ifndef IP_BIND_ADDRESS_NO_PORT
#define IP_BIND_ADDRESS_NO_PORT 24
#endif

Engine::Engine(unsigned threads) {
    for (unsigned i = 0; i < std::max(threads, 1u); ++i) {
        contexts_.push_back(std::make_unique<net::io_context>(1));
        guards_.emplace_back(net::make_work_guard(*contexts_.back()));
    }
    for (auto& ctx : contexts_)
        threads_.emplace_back([this, ioc = ctx.get()] {
            for (;;) {
                try {
                    ioc->run();
                    break;
                } catch (const std::exception& e) {
                    std::lock_guard lock(faultMutex_);
                    if (fault_.empty())
                        fault_ = e.what();
                }
            }
            exited_.fetch_add(1);
        });
}

Engine::~Engine() { stop(std::chrono::milliseconds(0)); }

void Engine::stop(std::chrono::milliseconds grace) {
    for (auto& guard : guards_)
        guard.reset();
    const auto until = std::chrono::steady_clock::now() + grace;
    while (exited_.load() < threads_.size() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (auto& ctx : contexts_)
        ctx->stop();
    for (auto& t : threads_)
        if (t.joinable())
            t.join();
}

std::string Engine::fault() const {
    std::lock_guard lock(faultMutex_);
    return fault_;
}

std::unique_ptr<ssl::context> makeTlsContext() {
    auto context = std::make_unique<ssl::context>(ssl::context::tls_client);
    context->set_options(ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    context->set_verify_mode(ssl::verify_none);
    return context;
}

Client::Client(net::io_context& ioc, ClientEvents& events, std::size_t id, ssl::context* tls)
    : id(id), events_(events) {
    if (tls)
        tls_.emplace(ioc, *tls);
    else
        plain_.emplace(ioc);
    withStream([](auto& ws) {
        ws.auto_fragment(false);
        ws.secure_prng(false); // masks need no secrecy on loopback, and the secure generator costs time per frame
        ws.read_message_max(1 << 20);
    });
}

tcp::socket& Client::socket() { return tls_ ? tls_->next_layer().next_layer() : plain_->next_layer(); }

void Client::connect(const tcp::endpoint& server, const std::optional<net::ip::address>& source,
                     std::string_view host) {
    host_ = host;
    phase_ = Phase::Connecting;
    auto& socket = this->socket();
    beast::error_code ec;
    socket.open(server.protocol(), ec);
    if (!ec && source) {
        // Without this the kernel picks the port at bind time, unaware of the destination, and one source
        // address runs out of ports after about 28k connections whatever the destination.
        int on = 1;
        ::setsockopt(socket.native_handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        socket.bind(tcp::endpoint(*source, 0), ec);
    }
    if (ec) {
        // Reported from the event loop, so the caller never sees its own events re-entered.
        net::post(socket.get_executor(), [self = shared_from_this(), ec] { self->fail("socket", ec); });
        return;
    }
    socket.async_connect(server, [self = shared_from_this()](const beast::error_code& e) { self->onConnect(e); });
}

void Client::onConnect(const beast::error_code& ec) {
    if (phase_ != Phase::Connecting)
        return;
    if (ec)
        return fail("connect", ec);
    beast::error_code ignored;
    socket().set_option(tcp::no_delay(true), ignored);
    phase_ = Phase::Upgrading;
    if (tls_) {
        tls_->next_layer().async_handshake(
            ssl::stream_base::client,
            [self = shared_from_this()](const beast::error_code& e) { self->onTlsHandshake(e); });
        return;
    }
    plain_->async_handshake(host_, "/",
                            [self = shared_from_this()](const beast::error_code& e) { self->onUpgrade(e); });
}

void Client::onTlsHandshake(const beast::error_code& ec) {
    if (phase_ != Phase::Upgrading)
        return;
    if (ec)
        return fail("tls", ec);
    tls_->async_handshake(host_, "/", [self = shared_from_this()](const beast::error_code& e) { self->onUpgrade(e); });
}

void Client::onUpgrade(const beast::error_code& ec) {
    if (phase_ != Phase::Upgrading)
        return;
    if (ec)
        return fail("upgrade", ec);
    phase_ = Phase::Open;
    withStream([](auto& ws) { ws.text(true); });
    readNext(); // before `opened`, which may already close or abort
    events_.opened(*this);
}

void Client::readNext() {
    withStream([this](auto& ws) {
        ws.async_read(buffer_,
                      [self = shared_from_this()](const beast::error_code& ec, std::size_t) { self->onRead(ec); });
    });
}

void Client::onRead(const beast::error_code& ec) {
    if (phase_ == Phase::Done)
        return;
    if (ec) {
        if (phase_ == Phase::Closing)
            return; // the close handshake reports the end
        return fail("read", ec);
    }
    const auto data = buffer_.data();
    events_.text(*this, std::string_view(static_cast<const char*>(data.data()), data.size()));
    buffer_.consume(buffer_.size());
    if (phase_ == Phase::Open || phase_ == Phase::Closing)
        readNext();
}

void Client::send(std::string_view text) {
    if (phase_ != Phase::Open)
        return;
    queue_.push_back({{}, text});
    if (!writing_)
        writeNext();
}

void Client::sendCopy(std::string_view text) {
    if (phase_ != Phase::Open)
        return;
    auto& out = queue_.emplace_back();
    out.copy.assign(text);
    out.text = out.copy; // taken in place: a short string's characters live inside the element
    if (!writing_)
        writeNext();
}

void Client::writeNext() {
    writing_ = true;
    const auto text = queue_.front().text;
    withStream([&](auto& ws) {
        ws.async_write(net::buffer(text.data(), text.size()),
                       [self = shared_from_this()](const beast::error_code& ec, std::size_t) { self->onWrite(ec); });
    });
}

void Client::onWrite(const beast::error_code& ec) {
    writing_ = false;
    if (phase_ == Phase::Done)
        return;
    if (ec)
        return fail("write", ec);
    queue_.pop_front();
    if (phase_ == Phase::Closing)
        return startClose();
    if (!queue_.empty())
        writeNext();
}

void Client::close() {
    if (phase_ != Phase::Open)
        return;
    phase_ = Phase::Closing;
    if (!writing_)
        startClose();
}

void Client::startClose() {
    if (closeStarted_)
        return;
    closeStarted_ = true;
    queue_.clear();
    withStream([this](auto& ws) {
        ws.async_close(websocket::close_code::normal, [self = shared_from_this()](const beast::error_code&) {
            if (self->phase_ == Phase::Done)
                return;
            self->phase_ = Phase::Done;
            beast::error_code ignored;
            self->socket().close(ignored);
            self->events_.closed(*self);
        });
    });
}

void Client::abort() {
    phase_ = Phase::Done;
    beast::error_code ignored;
    socket().close(ignored);
}

void Client::fail(const char* stage, const beast::error_code& ec) {
    const bool closing = phase_ == Phase::Closing;
    phase_ = Phase::Done;
    beast::error_code ignored;
    socket().close(ignored);
    if (closing)
        events_.closed(*this); // it was on its way out anyway
    else
        events_.failed(*this, stage, ec);
}

} // namespace bench
