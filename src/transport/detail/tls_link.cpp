// OpenSSL under a connection after its handshake, through a BIO that reads from the provided ciphertext and
// writes into the link's output string.
#include "transport/detail/tls_link.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace rtc::detail {
namespace {

long bioControl(BIO*, int command, long, void*) {
    // OpenSSL flushes after every flight of records; everything is already in the output string.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

} // namespace

TlsLink::~TlsLink() {
    if (ssl_)
        SSL_free(ssl_);
}

bool TlsLink::adopt(SSL* ssl) {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "murva-tls-link");
        BIO_meth_set_read(m, &TlsLink::bioRead);
        BIO_meth_set_write(m, &TlsLink::bioWrite);
        BIO_meth_set_ctrl(m, &bioControl);
        BIO_meth_set_create(m, &bioCreate);
        return m;
    }();
    BIO* bio = method ? BIO_new(method) : nullptr;
    if (!bio) {
        SSL_free(ssl);
        return false;
    }
    BIO_set_data(bio, this);
    SSL_set_bio(ssl, bio, bio); // frees the BIOs of the handshake
    ssl_ = ssl;
    return true;
}

void TlsLink::provide(const char* data, std::size_t size) {
    in_ = data;
    inSize_ = size;
}

long TlsLink::decrypt(char* out, std::size_t capacity) {
    const int want = static_cast<int>(std::min<std::size_t>(capacity, std::numeric_limits<int>::max()));
    ERR_clear_error();
    const int n = SSL_read(ssl_, out, want);
    if (n > 0)
        return n;
    switch (SSL_get_error(ssl_, n)) {
    case SSL_ERROR_WANT_READ:
        // OpenSSL takes everything provided into its record buffer before it asks for more.
        return inSize_ == 0 ? needInput : failed;
    case SSL_ERROR_ZERO_RETURN: return peerClosed;
    default: return failed;
    }
}

bool TlsLink::encrypt(std::string_view plain) {
    while (!plain.empty()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(plain.size(), 1 << 20));
        ERR_clear_error();
        const int n = SSL_write(ssl_, plain.data(), chunk);
        if (n <= 0)
            return false;
        plain.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void TlsLink::closeNotify() {
    ERR_clear_error();
    SSL_shutdown(ssl_);
}

int TlsLink::bioRead(BIO* bio, char* data, int size) {
    auto& self = *static_cast<TlsLink*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (self.inSize_ == 0) {
        BIO_set_retry_read(bio);
        return -1;
    }
    const std::size_t n = std::min(self.inSize_, static_cast<std::size_t>(std::max(size, 0)));
    std::memcpy(data, self.in_, n);
    self.in_ += n;
    self.inSize_ -= n;
    return static_cast<int>(n);
}

int TlsLink::bioWrite(BIO* bio, const char* data, int size) {
    auto& self = *static_cast<TlsLink*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    self.out_.append(data, static_cast<std::size_t>(std::max(size, 0)));
    return size;
}

} // namespace rtc::detail
