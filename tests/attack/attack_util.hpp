// Helpers of the attack tests: clients and raw peers that join by hand, a reader of close codes, a counter
// of connections that reach admission, resident memory, and the closing check that an attack left nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "support/raw_socket.hpp"
#include "support/signal_server.hpp"
#include "support/ws_client.hpp"

namespace attack {

using namespace std::chrono_literals;
using namespace testing_support;
using Clock = std::chrono::steady_clock;

inline const std::string capacityError = R"({"reason":"Server is at capacity.","type":"error"})";
inline const std::string peerLeft = R"({"type":"peer-left"})";

inline std::string joinText(const std::string& room, const std::string& nick, const std::string& password = {}) {
    std::string text = R"({"type":"join","room":")" + room + R"(","nick":")" + nick + '"';
    if (!password.empty())
        text += R"(,"password":")" + password + '"';
    return text + "}";
}

inline std::string joinedText(const std::string& peer) { return R"({"peer":")" + peer + R"(","type":"joined"})"; }
inline std::string peerJoinedText(const std::string& peer) {
    return R"({"peer":")" + peer + R"(","type":"peer-joined"})";
}

inline std::string describe(const StateSizes& s) {
    return "{clients " + std::to_string(s.clients) + ", rooms " + std::to_string(s.rooms) + ", ips " +
           std::to_string(s.ips) + "}";
}

inline long millisSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Connects and joins `room`; throws unless the server answers "joined" (with any peer).
inline std::unique_ptr<WsClient> joinedClient(uint16_t port, const std::string& room, const std::string& nick,
                                              const ClientOptions& options = {}) {
    auto client = WsClient::connect(port, options);
    client->sendText(joinText(room, nick));
    const auto reply = client->receive();
    if (!reply || reply->find(R"("type":"joined")") == std::string::npos)
        throw std::runtime_error("join of " + room + " answered " + reply.value_or("nothing"));
    return client;
}

// A peer that does the upgrade and the join by hand and afterwards does only what the test makes it do:
// it answers no ping and reads nothing unless asked.
inline std::unique_ptr<RawSocket> rawJoined(uint16_t port, const std::string& room, const std::string& nick,
                                            int receiveBuffer = 0) {
    auto socket = std::make_unique<RawSocket>(port, RawSocketOptions{.receiveBuffer = receiveBuffer});
    if (!socket->upgrade())
        throw std::runtime_error("raw upgrade refused");
    if (!socket->sendAll(clientFrame(0x1, joinText(room, nick))))
        throw std::runtime_error("raw join not sent");
    const std::string seen = socket->readUntil(R"(","type":"joined"})", 3s);
    if (seen.find(R"(","type":"joined"})") == std::string::npos)
        throw std::runtime_error("raw join of " + room + " not answered");
    return socket;
}

// The code of the server's close frame, skipping what comes before it; empty when none arrives in time.
inline std::optional<int> readCloseCode(RawSocket& socket, std::chrono::milliseconds bound = 3s) {
    const auto end = Clock::now() + bound;
    while (Clock::now() < end) {
        auto frame = socket.readFrame(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
        if (!frame)
            return std::nullopt;
        if (frame->opcode == 0x8) {
            if (frame->payload.size() < 2)
                return 1005; // a close frame without a code
            return (static_cast<unsigned char>(frame->payload[0]) << 8) | static_cast<unsigned char>(frame->payload[1]);
        }
    }
    return std::nullopt;
}

// A TLS client over a plain socket that completes the TLS handshake and then writes and reads only what the
// test asks for (nothing at all, half a request, garbage). Every call is bounded by socket timeouts.
class TlsPeer {
public:
    explicit TlsPeer(uint16_t port, const RawSocketOptions& options = {}) : socket_(port, options) {
        const timeval bound{3, 0};
        ::setsockopt(socket_.fd(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        ::setsockopt(socket_.fd(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        ctx_ = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, socket_.fd());
        handshakeDone_ = SSL_connect(ssl_) == 1;
    }
    ~TlsPeer() {
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
    }
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

    bool handshakeDone() const { return handshakeDone_; }
    bool write(const std::string& bytes) {
        return !bytes.empty() && SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) > 0;
    }
    // Decrypted bytes until `needle` shows up or the connection ends (or stays silent for 3 s).
    std::string readUntil(const std::string& needle) {
        std::string received;
        char buffer[1024];
        while (received.find(needle) == std::string::npos) {
            const int n = SSL_read(ssl_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            received.append(buffer, static_cast<std::size_t>(n));
        }
        return received;
    }
    RawSocket& raw() { return socket_; }

private:
    RawSocket socket_;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    bool handshakeDone_ = false;
};

inline std::string testData(const std::string& name) { return std::string(MURVA_TEST_DATA) + "/" + name; }

// The transport settings of a wss server with the test certificate.
inline rtc::WebSocketServerConfiguration tlsConfig() {
    rtc::WebSocketServerConfiguration config;
    config.enableTls = true;
    config.certificatePemFile = testData("cert.pem");
    config.keyPemFile = testData("key.pem");
    return config;
}

// Routes every upgraded connection through a counter on its way to admission, so a test can tell that
// bad handshakes never got that far. Call it before any client connects.
inline std::shared_ptr<std::atomic<int>> countAdmissions(SignalServer& server) {
    auto count = std::make_shared<std::atomic<int>>(0);
    server.transport().onClient(
        [count, &signaling = server.server().signaling()](std::shared_ptr<rtc::WebSocket> socket) {
            ++*count;
            signaling.handleClient(std::move(socket));
        });
    return count;
}

// A field of /proc/self/status in KiB ("VmRSS:", "VmHWM:"), -1 when unreadable.
inline long statusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(field.size()));
    return -1;
}

// Sanitizers keep freed memory in quarantine, so resident memory says nothing about the server there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool memoryIsMeaningful = false;
#else
inline constexpr bool memoryIsMeaningful = true;
#endif

// The end of every attack: the state is back to `before`, and a fresh pair can still meet, relay both
// ways and leave, after which the state is back to `before` again.
inline void expectNothingLeaked(const SignalServer& server, const StateSizes& before,
                                const ClientOptions& options = {}) {
    EXPECT_TRUE(server.waitForSizes(before, 10s))
        << "state " << describe(server.sizes()) << ", before the attack " << describe(before);
    static std::atomic<int> rounds{0};
    const std::string room = "fresh-" + std::to_string(rounds++);
    auto a = WsClient::connect(server.port(), options);
    a->sendText(joinText(room, "fresh-a"));
    EXPECT_EQ(a->receive(), joinedText(""));
    auto b = WsClient::connect(server.port(), options);
    b->sendText(joinText(room, "fresh-b"));
    EXPECT_EQ(b->receive(), joinedText("fresh-a"));
    EXPECT_EQ(a->receive(), peerJoinedText("fresh-b"));
    const std::string offer = R"({"sdp":"v=0\r\n","type":"offer"})";
    const std::string answer = R"({"sdp":"v=0\r\n","type":"answer"})";
    a->sendText(offer);
    EXPECT_EQ(b->receive(), offer);
    b->sendText(answer);
    EXPECT_EQ(a->receive(), answer);
    a->close();
    EXPECT_EQ(b->receive(), peerLeft);
    b->close();
    EXPECT_TRUE(server.waitForSizes(before, 10s))
        << "state " << describe(server.sizes()) << ", before the attack " << describe(before);
}

} // namespace attack
