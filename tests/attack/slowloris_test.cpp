// Slowloris: hundreds of connections that never finish their TCP/TLS/WebSocket handshake, silent or dribbling
// a byte at a time. Each is closed at the handshake limit (measured from the client side), none reaches
// admission, and legitimate clients keep joining and relaying the whole time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <thread>

#include <poll.h>
#include <sys/socket.h>

#include "attack_util.hpp"

using namespace attack;

namespace {

constexpr auto handshakeLimit = 600ms;

struct Loris {
    std::unique_ptr<RawSocket> socket; // plain TCP, or the socket under `tls`
    std::unique_ptr<TlsPeer> tls;
    std::string dribble; // sent one byte per tick; never a complete handshake
    std::size_t dribbled = 0;
    Clock::time_point opened;
    long closedAfterMs = -1;

    int fd() const { return tls ? tls->raw().fd() : socket->fd(); }
    void sendNextByte() {
        if (dribbled >= dribble.size())
            return;
        const std::string byte(1, dribble[dribbled++]);
        if (tls)
            tls->write(byte);
        else
            socket->sendAll(byte);
    }
};

// Times start before the TCP connect, so they can only exceed what the server measured.
Loris silentLoris(uint16_t port) {
    Loris loris;
    loris.opened = Clock::now();
    loris.socket = std::make_unique<RawSocket>(port);
    return loris;
}

Loris dribblingLoris(uint16_t port, std::string dribble) {
    Loris loris = silentLoris(port);
    loris.dribble = std::move(dribble);
    loris.sendNextByte();
    return loris;
}

// TLS completed, then nothing more than `dribble` (the WebSocket upgrade never finishes).
Loris tlsLoris(uint16_t port, std::string dribble) {
    Loris loris;
    loris.opened = Clock::now(); // the server's limit covers the TLS handshake too
    loris.tls = std::make_unique<TlsPeer>(port);
    if (!loris.tls->handshakeDone())
        throw std::runtime_error("TLS handshake of a slow client failed");
    loris.dribble = std::move(dribble);
    loris.sendNextByte();
    return loris;
}

const std::string partialRequest = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                   "X-Slow: " + std::string(200, 's');

// Until every loris is closed by the server (or `bound` runs out): records when each one saw its connection
// end and sends each dribbler its next byte every 50 ms.
void watch(std::vector<Loris>& lorises, std::chrono::milliseconds bound) {
    const auto end = Clock::now() + bound;
    auto nextTick = Clock::now();
    std::size_t open = lorises.size();
    while (open > 0 && Clock::now() < end) {
        std::vector<pollfd> fds;
        std::vector<Loris*> owners;
        for (auto& loris : lorises)
            if (loris.closedAfterMs < 0) {
                fds.push_back({loris.fd(), POLLIN, 0});
                owners.push_back(&loris);
            }
        ::poll(fds.data(), fds.size(), 10);
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char scratch[4096];
            const ssize_t n = ::recv(fds[i].fd, scratch, sizeof scratch, MSG_DONTWAIT);
            // Data is a TLS session ticket or the like; only the end of the connection counts.
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                owners[i]->closedAfterMs = millisSince(owners[i]->opened);
                --open;
            }
        }
        if (Clock::now() >= nextTick) {
            nextTick += 50ms;
            for (auto* loris : owners)
                if (loris->closedAfterMs < 0)
                    loris->sendNextByte();
        }
    }
}

struct Spread {
    long min = 0, median = 0, max = 0;
    std::size_t unclosed = 0;
};

Spread spreadOf(const std::vector<Loris>& lorises) {
    std::vector<long> times;
    Spread spread;
    for (const auto& loris : lorises)
        if (loris.closedAfterMs < 0)
            ++spread.unclosed;
        else
            times.push_back(loris.closedAfterMs);
    if (!times.empty()) {
        std::sort(times.begin(), times.end());
        spread.min = times.front();
        spread.median = times[times.size() / 2];
        spread.max = times.back();
    }
    return spread;
}

// Runs the watcher on its own thread while this thread keeps a legitimate pair joining, relaying and
// leaving in fresh rooms; returns how many rounds completed while lorises were still pending.
int keepJoiningWhile(SignalServer& server, std::vector<Loris>& lorises, const ClientOptions& options,
                     std::size_t& largestClientCount) {
    std::atomic<bool> watching{true};
    std::thread watcher([&] {
        watch(lorises, handshakeLimit + 8s);
        watching = false;
    });
    int rounds = 0;
    largestClientCount = 0;
    try {
        while (watching) {
            const std::string room = "legit-" + std::to_string(rounds);
            auto a = joinedClient(server.port(), room, "a", options);
            auto b = joinedClient(server.port(), room, "b", options);
            EXPECT_EQ(a->receive(), peerJoinedText("b"));
            a->sendText(R"({"type":"offer","sdp":"v=0"})");
            EXPECT_EQ(b->receive(), R"({"type":"offer","sdp":"v=0"})");
            // Hundreds of pending handshakes, yet only these two are connections of the server's.
            largestClientCount = std::max(largestClientCount, server.sizes().clients);
            a->close();
            b->close();
            if (watching)
                ++rounds;
        }
    } catch (const std::exception& e) {
        ADD_FAILURE() << "a legitimate client failed: " << e.what();
    }
    watcher.join();
    return rounds;
}

void expectClosedAtTheLimit(const char* what, const std::vector<Loris>& lorises) {
    const Spread spread = spreadOf(lorises);
    std::printf("[slowloris] %s: %zu connections closed after min %ld ms, median %ld ms, max %ld ms (limit %ld ms)\n",
                what, lorises.size() - spread.unclosed, spread.min, spread.median, spread.max,
                static_cast<long>(handshakeLimit.count()));
    std::fflush(stdout);
    EXPECT_EQ(spread.unclosed, 0u) << what;
    // Not before the limit (a dribbled byte must not count as progress either way), and not long after it.
    EXPECT_GE(spread.min, handshakeLimit.count() - 50) << what;
    EXPECT_LE(spread.max, handshakeLimit.count() + 3000) << what;
}

} // namespace

TEST(Slowloris, HalfOpenedConnectionsAreClosedAtTheHandshakeLimitWhileClientsKeepJoining) {
    rtc::WebSocketServerConfiguration extra;
    extra.connectionTimeout = handshakeLimit;
    SignalServer server({}, extra);
    auto admitted = countAdmissions(server);
    const StateSizes before = server.sizes();

    std::vector<Loris> lorises;
    for (int i = 0; i < 100; ++i)
        lorises.push_back(silentLoris(server.port()));
    for (int i = 0; i < 100; ++i)
        lorises.push_back(dribblingLoris(server.port(), partialRequest));

    std::size_t largestClientCount = 0;
    const int rounds = keepJoiningWhile(server, lorises, {}, largestClientCount);
    expectClosedAtTheLimit("plain, 100 silent + 100 dribbling", lorises);
    EXPECT_GE(rounds, 3) << "legitimate clients stalled behind the slow ones";
    EXPECT_LE(largestClientCount, 2u);
    std::printf("[slowloris] plain: %d legitimate pairs joined and relayed meanwhile\n", rounds);

    // Every admission was a legitimate client's (the last round may have finished after the watcher).
    EXPECT_GE(*admitted, 2 * rounds);
    EXPECT_LE(*admitted, 2 * rounds + 2);
    expectNothingLeaked(server, before);
}

TEST(Slowloris, HalfOpenedTlsConnectionsAreClosedAtTheHandshakeLimitWhileTlsClientsKeepJoining) {
    auto extra = tlsConfig();
    extra.connectionTimeout = handshakeLimit;
    SignalServer server({}, extra);
    auto admitted = countAdmissions(server);
    const StateSizes before = server.sizes();

    // A TLS record header announcing a ClientHello that never arrives in full.
    const std::string partialHello = std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xFC", 9) + std::string(100, '\x03');
    std::vector<Loris> lorises;
    for (int i = 0; i < 40; ++i)
        lorises.push_back(silentLoris(server.port()));
    for (int i = 0; i < 20; ++i)
        lorises.push_back(dribblingLoris(server.port(), partialHello));
    for (int i = 0; i < 20; ++i)
        lorises.push_back(tlsLoris(server.port(), ""));
    for (int i = 0; i < 20; ++i)
        lorises.push_back(tlsLoris(server.port(), partialRequest));

    ClientOptions tls;
    tls.tls = true;
    std::size_t largestClientCount = 0;
    const int rounds = keepJoiningWhile(server, lorises, tls, largestClientCount);
    expectClosedAtTheLimit("TLS, 40 silent + 20 partial ClientHello + 40 TLS done but no upgrade", lorises);
    EXPECT_GE(rounds, 3) << "legitimate clients stalled behind the slow ones";
    EXPECT_LE(largestClientCount, 2u);
    std::printf("[slowloris] TLS: %d legitimate pairs joined and relayed meanwhile\n", rounds);

    EXPECT_GE(*admitted, 2 * rounds);
    EXPECT_LE(*admitted, 2 * rounds + 2);
    expectNothingLeaked(server, before, tls);
}
