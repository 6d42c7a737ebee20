// Slowloris: hundreds of connections that never finish their TCP/TLS/WebSocket handshake, silent or dribbling
// a byte at a time. Each is closed at the handshake limit (measured from the client side), none reaches
// admission, and legitimate clients keep joining and relaying the whole time. Keep-alive HTTP clients fare no
// better: one address holds no more connections short of an upgrade than it may have open, and requests extend
// neither the handshake limit nor the number of answers.
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

// The source address of the i-th loris: twenty to an address, below the cap on one address's connections
// that have not upgraded yet.
std::string lorisSource(int i) { return "127.0.1." + std::to_string(1 + i / 20); }

// Times start before the TCP connect, so they can only exceed what the server measured.
Loris silentLoris(uint16_t port, int i) {
    Loris loris;
    loris.opened = Clock::now();
    loris.socket = std::make_unique<RawSocket>(port, RawSocketOptions{.sourceAddress = lorisSource(i)});
    return loris;
}

Loris dribblingLoris(uint16_t port, int i, std::string dribble) {
    Loris loris = silentLoris(port, i);
    loris.dribble = std::move(dribble);
    loris.sendNextByte();
    return loris;
}

// TLS completed, then nothing more than `dribble` (the WebSocket upgrade never finishes).
Loris tlsLoris(uint16_t port, int i, std::string dribble) {
    Loris loris;
    loris.opened = Clock::now(); // the server's limit covers the TLS handshake too
    loris.tls = std::make_unique<TlsPeer>(port, RawSocketOptions{.sourceAddress = lorisSource(i)});
    if (!loris.tls->handshakeDone())
        throw std::runtime_error("TLS handshake of a slow client failed");
    loris.dribble = std::move(dribble);
    loris.sendNextByte();
    return loris;
}

const std::string partialRequest = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                   "X-Slow: " +
                                   std::string(200, 's');

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
        lorises.push_back(silentLoris(server.port(), i));
    for (int i = 100; i < 200; ++i)
        lorises.push_back(dribblingLoris(server.port(), i, partialRequest));

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
        lorises.push_back(silentLoris(server.port(), i));
    for (int i = 40; i < 60; ++i)
        lorises.push_back(dribblingLoris(server.port(), i, partialHello));
    for (int i = 60; i < 80; ++i)
        lorises.push_back(tlsLoris(server.port(), i, ""));
    for (int i = 80; i < 100; ++i)
        lorises.push_back(tlsLoris(server.port(), i, partialRequest));

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

namespace {

const std::string healthAnswer = "\r\n\r\nok";

std::string healthRequest(const std::string& extraLines = {}) {
    return "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraLines + "\r\n";
}

// A keep-alive HTTP client from `source` that has had one answer; nullptr when the server closed it unanswered.
std::unique_ptr<RawSocket> heldHttp(uint16_t port, const std::string& source, const std::string& extraLines = {},
                                    const std::string& preamble = {}) {
    auto socket = std::make_unique<RawSocket>(port, RawSocketOptions{.sourceAddress = source});
    if (!socket->sendAll(preamble + healthRequest(extraLines)))
        return nullptr;
    if (socket->readUntil(healthAnswer, 2s).find(healthAnswer) == std::string::npos)
        return nullptr;
    return socket;
}

std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(Slowloris, KeepAliveHttpConnectionsAreHeldToTheCapsAndToOneDeadline) {
    ServerSettings settings;
    settings.maxConnectionsPerIp = 2;
    rtc::WebSocketServerConfiguration extra;
    extra.connectionTimeout = handshakeLimit;
    SignalServer server(settings, extra);
    const auto capped = [&] { return server.transport().counters().refused.pendingPerClient; };

    // One address may hold as many connections on their way to an upgrade as it may have open.
    std::vector<std::unique_ptr<RawSocket>> held;
    int closedUnanswered = 0;
    for (int i = 0; i < 10; ++i)
        if (auto socket = heldHttp(server.port(), "127.0.0.30"))
            held.push_back(std::move(socket));
        else
            ++closedUnanswered;
    EXPECT_EQ(held.size(), 2u);
    EXPECT_EQ(closedUnanswered, 8);
    EXPECT_EQ(capped(), 8u);
    ClientOptions sameAddress;
    sameAddress.sourceAddress = "127.0.0.30";
    EXPECT_THROW(WsClient::connect(server.port(), sameAddress), std::runtime_error);
    EXPECT_TRUE(heldHttp(server.port(), "127.0.0.31")) << "another address is another client";

    // Requests do not extend the deadline from the accept to the upgrade: a client asking every 100 ms is
    // closed at the handshake limit all the same.
    const auto start = Clock::now();
    auto asking = heldHttp(server.port(), "127.0.0.32");
    ASSERT_TRUE(asking);
    int answers = 1;
    while (millisSince(start) < 3000 && asking->sendAll(healthRequest()) &&
           asking->readUntil(healthAnswer, 1s).find(healthAnswer) != std::string::npos) {
        ++answers;
        std::this_thread::sleep_for(100ms);
    }
    const long closedAfterMs = millisSince(start);
    std::printf("[slowloris] keep-alive client closed after %ld ms and %d answers (limit %ld ms)\n", closedAfterMs,
                answers, static_cast<long>(handshakeLimit.count()));
    EXPECT_GE(closedAfterMs, handshakeLimit.count() - 50);
    EXPECT_LE(closedAfterMs, handshakeLimit.count() + 1000);

    // A connection serves a bounded number of requests, even asked all at once; the last answer says so.
    RawSocket pipelining(server.port(), {.sourceAddress = "127.0.0.33"});
    std::string requests;
    for (unsigned i = 0; i < rtc::maxRequestsPerConnection + 20; ++i)
        requests += healthRequest();
    ASSERT_TRUE(pipelining.sendAll(requests));
    std::string answered;
    for (std::string more; !(more = pipelining.readUntil(healthAnswer, 1s)).empty();)
        answered += more;
    EXPECT_EQ(occurrences(answered, healthAnswer), rtc::maxRequestsPerConnection);
    EXPECT_EQ(occurrences(answered, "Connection: close"), 1u);
    EXPECT_TRUE(pipelining.waitPeerClosed(1s));
}

TEST(Slowloris, BehindATrustedProxyTheCapsCountTheClientsItNamesNotTheProxy) {
    ServerSettings settings;
    settings.maxConnectionsPerIp = 2;
    settings.trustedProxies = {"127.0.0.40"};
    SignalServer server(settings);

    // Many clients behind one proxy: none of their connections is refused for the proxy's address.
    std::vector<std::unique_ptr<RawSocket>> held;
    for (int i = 0; i < 10; ++i) {
        const std::string client = "X-Forwarded-For: 203.0.113." + std::to_string(i) + "\r\n";
        held.push_back(heldHttp(server.port(), "127.0.0.40", client));
        EXPECT_TRUE(held.back()) << "client " << i;
    }
    // One client behind it over the cap is; its first request named it, and later ones cannot rename it.
    const std::string oneClient = "X-Forwarded-For: 198.51.100.1\r\n";
    held.push_back(heldHttp(server.port(), "127.0.0.40", oneClient));
    held.push_back(heldHttp(server.port(), "127.0.0.40", oneClient));
    ASSERT_TRUE(held[10] && held[11]);
    EXPECT_FALSE(heldHttp(server.port(), "127.0.0.40", oneClient));
    ASSERT_TRUE(held[10]->sendAll(healthRequest("X-Forwarded-For: 198.51.100.2\r\n")));
    EXPECT_NE(held[10]->readUntil(healthAnswer, 2s).find(healthAnswer), std::string::npos);
    EXPECT_FALSE(heldHttp(server.port(), "127.0.0.40", oneClient));
    EXPECT_EQ(server.transport().counters().refused.pendingPerClient, 2u);

    // With PROXY headers: the client a header names is capped; the proxy's own connections (LOCAL) are not.
    settings.proxyProtocol = true;
    rtc::WebSocketServerConfiguration extra;
    extra.proxyProtocol = true;
    SignalServer proxied(settings, extra);
    const std::string named = "PROXY TCP4 198.51.100.1 127.0.0.1 5000 443\r\n";
    const std::string local("\r\n\r\n\0\r\nQUIT\n\x20\x00\x00\x00", 16);
    std::vector<std::unique_ptr<RawSocket>> viaHeaders;
    for (int i = 0; i < 10; ++i) {
        viaHeaders.push_back(heldHttp(proxied.port(), "127.0.0.40", {}, local));
        EXPECT_TRUE(viaHeaders.back()) << "health check " << i;
    }
    for (int i = 0; i < 3; ++i)
        viaHeaders.push_back(heldHttp(proxied.port(), "127.0.0.40", oneClient, named));
    EXPECT_TRUE(viaHeaders[10] && viaHeaders[11]);
    EXPECT_FALSE(viaHeaders[12]);
    EXPECT_EQ(proxied.transport().counters().refused.pendingPerClient, 1u);
}
