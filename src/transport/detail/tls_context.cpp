// The server's TLS context: loaded from the certificate and key files, replaced whole on reload.
#include "transport/detail/tls_context.hpp"

#include <ctime>
#include <stdexcept>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace rtc::detail {

namespace net = boost::asio;

namespace {

int64_t notAfter(net::ssl::context& ctx) {
    const X509* certificate = SSL_CTX_get0_certificate(ctx.native_handle());
    std::tm tm{};
    if (!certificate || ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &tm) != 1)
        return 0;
    return static_cast<int64_t>(timegm(&tm));
}

} // namespace

TlsContextSlot::TlsContextSlot(const WebSocketServerConfiguration& config) {
    if (!config.certificatePemFile || config.certificatePemFile->empty())
        throw std::invalid_argument("TLS is enabled but no certificate file is given");
    if (!config.keyPemFile || config.keyPemFile->empty())
        throw std::invalid_argument("TLS is enabled but no private key file is given");
    certificateFile_ = *config.certificatePemFile;
    keyFile_ = *config.keyPemFile;
    keyPass_ = config.keyPemPass.value_or("");
    context_ = load();
    expiry_ = notAfter(*context_);
}

std::shared_ptr<net::ssl::context> TlsContextSlot::current() const {
    std::lock_guard lock(mutex_);
    return context_;
}

void TlsContextSlot::reload() {
    auto next = load(); // throws before anything is replaced
    const int64_t expiry = notAfter(*next);
    std::lock_guard lock(mutex_);
    context_.swap(next);
    expiry_ = expiry;
    // The old context goes with the last session holding it.
}

int64_t TlsContextSlot::expiry() const {
    std::lock_guard lock(mutex_);
    return expiry_;
}

std::shared_ptr<net::ssl::context> TlsContextSlot::load() const {
    auto ctx = std::make_shared<net::ssl::context>(net::ssl::context::tls_server);
    ctx->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                     net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 | net::ssl::context::no_tlsv1_1 |
                     net::ssl::context::single_dh_use);
    // OpenSSL's record buffers (about 34 kB) exist only while a record is being read or written, so an idle
    // connection does not carry them.
    SSL_CTX_set_mode(ctx->native_handle(), SSL_MODE_RELEASE_BUFFERS);
    // Always answer the pass phrase question ourselves: without a callback OpenSSL would prompt on the terminal.
    ctx->set_password_callback([pass = keyPass_](std::size_t, net::ssl::context::password_purpose) { return pass; });

    boost::system::error_code ec;
    ctx->use_certificate_chain_file(certificateFile_, ec);
    if (ec)
        throw std::runtime_error("TLS certificate \"" + certificateFile_ + "\": " + ec.message());
    ctx->use_private_key_file(keyFile_, net::ssl::context::pem, ec);
    if (ec)
        throw std::runtime_error("TLS private key \"" + keyFile_ + "\": " + ec.message());
    // OpenSSL keeps one slot per key type and only compares a key with a certificate of its own type: an RSA
    // certificate with an EC key loads, and then every handshake fails.
    if (SSL_CTX_check_private_key(ctx->native_handle()) != 1) {
        ERR_clear_error();
        throw std::runtime_error("TLS private key \"" + keyFile_ + "\" does not belong to the certificate \"" +
                                 certificateFile_ + "\"");
    }
    return ctx;
}

} // namespace rtc::detail
