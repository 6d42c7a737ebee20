// Winding down: stopAccepting refuses newcomers while open connections go on; closeAll sends what was queued,
// then its close code, and drops handshakes; connectionCount tells when all are gone. Close codes (ours, the
// peer's, none) go out as asked and are counted once.
#include <gtest/gtest.h>

#include "support/raw_socket.hpp"
#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

namespace {

uint64_t closes(const rtc::TransportCounters& c) {
    const auto& k = c.closes;
    return k.normal + k.goingAway + k.abnormal + k.invalidPayload + k.policy + k.tooBig + k.internalError + k.other;
}

} // namespace

TEST(WindingDown, StopAcceptingRefusesNewConnectionsWhileOpenOnesGoOn) {
    for (const bool inOnClient : {false, true}) {
        SCOPED_TRACE(inOnClient ? "called in onClient, on the listener's own thread" : "called from outside");
        Recorder recorder;
        auto config = loopbackConfig();
        config.threads = 1;
        rtc::WebSocketServer server(config);
        server.onClient([&](std::shared_ptr<rtc::WebSocket> socket) {
            if (inOnClient && recorder.clientCount() == 1)
                server.stopAccepting();
            recorder.add(std::move(socket));
        });
        auto a = WsClient::connect(server.port());
        ASSERT_TRUE(recorder.waitClients(1));
        auto b = WsClient::connect(server.port());
        ASSERT_TRUE(recorder.waitClients(2));
        server.stopAccepting(); // the first call, or a repeated one

        EXPECT_THROW(RawSocket{server.port()}, std::runtime_error); // refused
        a->sendText("still talking");
        ASSERT_TRUE(recorder.waitMessages(0, 1));
        ASSERT_TRUE(recorder.socket(1)->send(std::string("still listening")));
        EXPECT_EQ(b->receive(), "still listening");
        EXPECT_EQ(server.connectionCount(), 2u);
    }
}

TEST(WindingDown, CloseAllSendsTheQueueThenItsCodeAndDropsHandshakes) {
    auto config = loopbackConfig();
    config.connectionTimeout = 10s; // a handshake gone quickly went by closeAll, not by the timer
    auto&& [recorder, server] = RecordingServer(config);
    auto a = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(1));
    auto b = WsClient::connect(server.port());
    RawSocket handshaking(server.port());
    ASSERT_TRUE(handshaking.sendAll("GET / HTTP/1.1\r\n"));
    ASSERT_TRUE(waitUntil([&] { return server.connectionCount() == 3 && recorder.clientCount() == 2; }));

    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(recorder.socket(0)->send(std::string("queued ") + std::to_string(i)));
    server.closeAll(1001);
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(a->receive(), "queued " + std::to_string(i));
    EXPECT_EQ(a->waitClosed(), 1001);
    EXPECT_EQ(b->waitClosed(), 1001);
    EXPECT_TRUE(handshaking.waitPeerClosed(2s));
    EXPECT_TRUE(waitUntil([&] { return server.connectionCount() == 0; }, 3s)) << server.connectionCount();
    EXPECT_TRUE(recorder.waitClosed(0) && recorder.waitClosed(1));

    // Still listening, but no handshake completes any more.
    ClientOptions late;
    late.timeout = 2s;
    EXPECT_THROW(WsClient::connect(server.port(), late), std::runtime_error);
    EXPECT_EQ(server.counters().closes.goingAway, 2u);
    EXPECT_EQ(closes(server.counters()), 2u);
    EXPECT_EQ(server.counters().refused.badHandshake, 0u); // drops are no refusals
}

TEST(WindingDown, CloseCodesGoOutAsAskedAndAreCountedOnce) {
    auto config = loopbackConfig();
    config.maxMessageSize = 1000;
    auto&& [recorder, server] = RecordingServer(config);

    using K = rtc::TransportCounters::Closes;
    using Act = std::function<void(WsClient&, rtc::WebSocket&)>;
    const std::vector<std::tuple<const char*, Act, int, uint64_t K::*>> cases = {
        // name, what happens, the code the client gets from the server (0: not checked), counted as
        {"client 1000", [](WsClient& c, rtc::WebSocket&) { c.close(1000); }, 0, &K::normal},
        {"client 1001", [](WsClient& c, rtc::WebSocket&) { c.close(1001); }, 0, &K::goingAway},
        {"client vanishes", [](WsClient& c, rtc::WebSocket&) { c.abort(); }, 0, &K::abnormal},
        {"close()", [](WsClient&, rtc::WebSocket& s) { s.close(); }, 1000, &K::normal},
        {"close(4000)", [](WsClient&, rtc::WebSocket& s) { s.close(4000); }, 4000, &K::other},
        {"close(1011)", [](WsClient&, rtc::WebSocket& s) { s.close(1011); }, 1011, &K::internalError},
        {"close(1006) goes out as 1000", [](WsClient&, rtc::WebSocket& s) { s.close(1006); }, 1000, &K::normal},
        {"invalid UTF-8", [](WsClient& c, rtc::WebSocket&) { c.sendText("\xff\xfe"); }, 1007, &K::invalidPayload},
        {"too big", [](WsClient& c, rtc::WebSocket&) { c.sendText(std::string(1001, 'x')); }, 1009, &K::tooBig},
    };
    std::size_t index = 0;
    for (const auto& [name, act, clientGets, counter] : cases) {
        SCOPED_TRACE(name);
        const auto before = server.counters();
        auto client = WsClient::connect(server.port());
        ASSERT_TRUE(recorder.waitClients(++index));
        act(*client, *recorder.socket(index - 1));
        const auto code = client->waitClosed();
        if (clientGets != 0) {
            EXPECT_EQ(code, clientGets);
        }
        ASSERT_TRUE(waitUntil([&] { return closes(server.counters()) == closes(before) + 1; }));
        EXPECT_EQ(server.counters().closes.*counter, before.closes.*counter + 1);
    }
}
