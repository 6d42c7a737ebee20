// Which connections reach onClient: every completed upgrade once, open and with its address; nothing that
// stalls, speaks plain HTTP or sends garbage.
#include <gtest/gtest.h>

#include <set>

#include "support/raw_socket.hpp"
#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

namespace {

using Clock = std::chrono::steady_clock;

long long millisSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

} // namespace

TEST(Admission, EachUpgradedConnectionReachesOnClientOnceOpenWithItsAddress) {
    Recorder recorder;
    rtc::WebSocketServer server(loopbackConfig());
    server.onClient(recorder.onClient());

    std::vector<std::unique_ptr<WsClient>> clients;
    std::set<std::string> expected;
    for (int i = 0; i < 5; ++i) {
        ClientOptions options;
        // Different source addresses show the address is the peer's own, not a constant.
        if (i % 2 == 1)
            options.sourceAddress = "127.0.0." + std::to_string(10 + i);
        clients.push_back(WsClient::connect(server.port(), options));
        const std::string host = options.sourceAddress.empty() ? "127.0.0.1" : options.sourceAddress;
        expected.insert(host + ":" + std::to_string(clients.back()->localPort()));
    }
    // Raw peers upgraded by hand, from sources of their own too.
    std::vector<std::unique_ptr<RawSocket>> raws;
    for (int i = 0; i < 2; ++i) {
        const std::string source = "127.0.0." + std::to_string(20 + i);
        raws.push_back(std::make_unique<RawSocket>(server.port(), RawSocketOptions{.sourceAddress = source}));
        ASSERT_TRUE(raws.back()->upgrade());
        expected.insert(source + ":" + std::to_string(raws.back()->localPort()));
    }
    ASSERT_TRUE(recorder.waitClients(7));
    EXPECT_FALSE(waitUntil([&] { return recorder.clientCount() > 7; }, 200ms));

    std::set<std::string> seen;
    for (std::size_t i = 0; i < 7; ++i) {
        const auto log = recorder.log(i);
        EXPECT_TRUE(log.openInOnClient) << i;
        ASSERT_TRUE(log.remoteAddress) << i;
        seen.insert(*log.remoteAddress);
        EXPECT_TRUE(recorder.socket(i)->isOpen());
        EXPECT_FALSE(recorder.socket(i)->isClosed());
    }
    EXPECT_EQ(seen, expected);
}

TEST(Admission, StalledHandshakesAreClosedAfterTheLimitWithoutOnClient) {
    Recorder recorder;
    rtc::WebSocketServer server(loopbackConfig()); // 300 ms for the upgrade
    server.onClient(recorder.onClient());

    const auto start = Clock::now();
    RawSocket silent(server.port());
    RawSocket halfRequest(server.port());
    ASSERT_TRUE(halfRequest.sendAll("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"));

    ASSERT_TRUE(silent.waitPeerClosed(3s));
    const auto silentMillis = millisSince(start);
    ASSERT_TRUE(halfRequest.waitPeerClosed(3s));
    const auto halfMillis = millisSince(start);
    EXPECT_GE(silentMillis, 250);
    EXPECT_LE(silentMillis, 1300);
    EXPECT_GE(halfMillis, 250);
    EXPECT_LE(halfMillis, 1300);

    // A client that completes its upgrade in time is served as usual.
    auto client = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(1));
    EXPECT_EQ(recorder.log(0).remoteAddress, "127.0.0.1:" + std::to_string(client->localPort()));
    EXPECT_FALSE(waitUntil([&] { return recorder.clientCount() > 1; }, 100ms));
}

TEST(Admission, PlainHttpGarbageAndBadUpgradesAreTurnedAwayAtOnce) {
    Recorder recorder;
    auto config = loopbackConfig();
    config.connectionTimeout = 10s; // so a close here cannot be the handshake timer's
    rtc::WebSocketServer server(config);
    server.onClient(recorder.onClient());

    RawSocket plain(server.port());
    ASSERT_TRUE(plain.sendAll("GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    const std::string head = plain.readUntil("\r\n\r\n", 3s);
    EXPECT_EQ(head.rfind("HTTP/1.1 426", 0), 0u) << head;
    EXPECT_TRUE(plain.waitPeerClosed(2s));

    RawSocket garbage(server.port());
    ASSERT_TRUE(garbage.sendAll(std::string("\x00\xff\x13garbage\x01\r\n\r\n", 15)));
    EXPECT_TRUE(garbage.waitPeerClosed(2s));

    RawSocket noKey(server.port());
    ASSERT_TRUE(noKey.sendAll("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                              "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n\r\n"));
    const std::string refused = noKey.readUntil("\r\n\r\n", 3s);
    EXPECT_EQ(refused.rfind("HTTP/1.1 4", 0), 0u) << refused;
    EXPECT_TRUE(noKey.waitPeerClosed(2s));

    ClientOptions tls;
    tls.tls = true;
    tls.timeout = 2s;
    EXPECT_THROW(WsClient::connect(server.port(), tls), std::runtime_error);

    EXPECT_EQ(recorder.clientCount(), 0u);
    auto client = WsClient::connect(server.port());
    EXPECT_TRUE(recorder.waitClients(1));
}

TEST(Admission, ConnectionsNotUpgradedAreCappedInAllAndPerClientUntilTheyUpgrade) {
    Recorder recorder;
    auto config = loopbackConfig();
    config.connectionTimeout = 5s; // a close well before it is the cap's
    config.maxPending = 3;
    config.maxPendingPerClient = 2;
    config.threads = 1; // connections are counted in the order they connect
    // Clients by their address's third byte: 127.0.1.x are one client.
    config.clientKey = [](const std::string& ip, const std::vector<std::string>&) {
        return ip.substr(0, ip.rfind('.'));
    };
    rtc::WebSocketServer server(config);
    server.onClient(recorder.onClient());
    const auto silent = [&](const std::string& source) {
        return std::make_unique<RawSocket>(server.port(), RawSocketOptions{.sourceAddress = source});
    };

    std::vector<std::unique_ptr<RawSocket>> held;
    held.push_back(silent("127.0.1.1"));
    held.push_back(silent("127.0.1.2"));
    auto thirdOfOneClient = silent("127.0.1.3");
    EXPECT_TRUE(thirdOfOneClient->waitPeerClosed(1s));
    held.push_back(silent("127.0.2.1"));
    auto overTheTotal = silent("127.0.3.1");
    EXPECT_TRUE(overTheTotal->waitPeerClosed(1s));
    for (const auto& socket : held)
        EXPECT_FALSE(socket->waitPeerClosed(50ms));
    auto refused = server.counters().refused;
    EXPECT_EQ(refused.pendingPerClient, 1u);
    EXPECT_EQ(refused.pendingTotal, 1u);

    // An upgrade frees its place: the next connection (of the same client) goes through.
    ASSERT_TRUE(held[0]->upgrade());
    ASSERT_TRUE(recorder.waitClients(1));
    ClientOptions sameClient;
    sameClient.sourceAddress = "127.0.1.4";
    EXPECT_NO_THROW(WsClient::connect(server.port(), sameClient));
    refused = server.counters().refused;
    EXPECT_EQ(refused.pendingPerClient + refused.pendingTotal, 2u);
}

TEST(Admission, TheCapsOnConnectionsNotUpgradedCanChangeWhileServing) {
    auto config = loopbackConfig();
    config.connectionTimeout = 5s;
    config.maxPendingPerClient = 1;
    config.threads = 1;
    Recorder recorder;
    rtc::WebSocketServer server(config);
    server.onClient(recorder.onClient()); // accepting starts here
    const auto silent = [&] { return std::make_unique<RawSocket>(server.port()); };

    std::vector<std::unique_ptr<RawSocket>> held;
    held.push_back(silent());
    auto overTheCap = silent();
    EXPECT_TRUE(overTheCap->waitPeerClosed(1s));

    server.setPendingCaps(3, 0); // raised: the one already counted stays, two more fit
    held.push_back(silent());
    held.push_back(silent());
    auto overTheRaisedCap = silent();
    EXPECT_TRUE(overTheRaisedCap->waitPeerClosed(1s));
    for (const auto& socket : held)
        EXPECT_FALSE(socket->waitPeerClosed(50ms));

    server.setPendingCaps(0, 2); // no cap per client, one in all below what is held: only newcomers are turned away
    auto overTheTotal = silent();
    EXPECT_TRUE(overTheTotal->waitPeerClosed(1s));
    for (const auto& socket : held)
        EXPECT_FALSE(socket->waitPeerClosed(50ms));
    const auto refused = server.counters().refused;
    EXPECT_EQ(refused.pendingPerClient, 2u);
    EXPECT_EQ(refused.pendingTotal, 1u);
}
