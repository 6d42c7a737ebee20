// TLS once the handshake is over, straight on OpenSSL: the session reads ciphertext into its thread's buffer and
// hands it over, decrypts into another shared buffer, and collects the records it writes in one string. Nothing
// of size stays with an idle connection: OpenSSL releases its record buffers between records, and there is no
// stream buffering underneath.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

typedef struct ssl_st SSL;
typedef struct bio_st BIO;

namespace rtc::detail {

class TlsLink {
public:
    TlsLink() = default;
    ~TlsLink();
    TlsLink(const TlsLink&) = delete;
    TlsLink& operator=(const TlsLink&) = delete;

    // Takes over one reference to `ssl`, whose handshake is done, and puts this link under it. False (and the
    // reference released) when that fails.
    bool adopt(SSL* ssl);

    // Ciphertext from the socket, for the next decrypt() calls; it must stay valid until they return 0.
    void provide(const char* data, std::size_t size);

    enum : long { needInput = 0, peerClosed = -1, failed = -2 };
    // Decrypts what was provided into [out, out + capacity): the number of bytes, or one of the values above.
    long decrypt(char* out, std::size_t capacity);

    // Encrypts `plain`; its records are appended to output(). False when TLS failed.
    bool encrypt(std::string_view plain);

    // Appends a close_notify alert to output().
    void closeNotify();

    // Records to be written to the socket, in the order they were made (decrypting can make some too).
    std::string& output() { return out_; }

private:
    static int bioRead(BIO* bio, char* data, int size);
    static int bioWrite(BIO* bio, const char* data, int size);

    SSL* ssl_ = nullptr;
    const char* in_ = nullptr;
    std::size_t inSize_ = 0;
    std::string out_;
};

} // namespace rtc::detail
