// Keepalive: the server pings a quiet connection at half the idle timeout and closes it when nothing at all
// came back by the full timeout; a client that answers pings stays open however long it is quiet.
#include <gtest/gtest.h>

#include <iostream>

#include "support/raw_socket.hpp"
#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

namespace {

rtc::WebSocketServerConfiguration keepaliveConfig() {
    auto config = loopbackConfig();
    config.idleTimeout = 400ms;
    return config;
}

} // namespace

TEST(Keepalive, SilentPeerIsPingedThenClosed) {
    auto config = keepaliveConfig();
    config.idleTimeout = 1s; // long enough that a close one keepalive tick late stands out from scheduling noise
    auto&& [recorder, server] = RecordingServer(config);

    RawSocket silent(server.port());
    ASSERT_TRUE(silent.upgrade());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(recorder.waitClients(1));

    const std::string emptyPing("\x89\x00", 2);
    EXPECT_NE(silent.readUntil(emptyPing, 3s).find(emptyPing), std::string::npos);
    const auto pinged = std::chrono::steady_clock::now();
    EXPECT_TRUE(silent.waitPeerClosed(3s));
    const auto millisSince = [](std::chrono::steady_clock::time_point from) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - from).count();
    };
    const auto afterPing = millisSince(pinged), closedMillis = millisSince(start);
    // Half the timeout after the ping: two ticks of the quarter-timeout sweep, neither one early nor one late.
    EXPECT_GE(afterPing, 400);
    EXPECT_LE(afterPing, 700);    // one tick late would be 750
    EXPECT_GE(closedMillis, 600); // not before the ping at half the timeout has had its chance
    EXPECT_LE(closedMillis, 1700);
    ASSERT_TRUE(recorder.waitClosed(0, 3s));
    EXPECT_EQ(recorder.log(0).closedCalls, 1);
    EXPECT_TRUE(recorder.socket(0)->isClosed());
    std::cout << "[ measured ] silent peer pinged, then closed " << afterPing << " ms later, " << closedMillis
              << " ms after its upgrade\n";
}

TEST(Keepalive, AnyTrafficFromThePeerKeepsItOpen) {
    auto config = keepaliveConfig();
    // Pings at 500 ms; 1.5 s is still past the timeout. A shorter one makes a live peer look dead whenever a
    // loaded machine stalls the process for half of it.
    config.idleTimeout = 1s;
    auto&& [recorder, server] = RecordingServer(config);

    // A real client answers the pings by itself.
    auto client = WsClient::connect(server.port());
    // A raw peer that only sends a message now and then, never a pong.
    RawSocket chatty(server.port());
    ASSERT_TRUE(chatty.upgrade());
    // A raw peer that sends nothing of its own; its reads answer the pings.
    RawSocket answering(server.port());
    ASSERT_TRUE(answering.upgrade());
    ASSERT_TRUE(recorder.waitClients(3));

    const auto end = std::chrono::steady_clock::now() + 1500ms;
    int sent = 0;
    while (std::chrono::steady_clock::now() < end) {
        ASSERT_TRUE(chatty.sendAll(clientFrame(0x1, "tick " + std::to_string(sent++))));
        EXPECT_EQ(answering.readText(150ms), std::nullopt); // no text yet, and no close
    }
    EXPECT_FALSE(client->isClosed());
    EXPECT_EQ(recorder.log(0).closedCalls + recorder.log(1).closedCalls + recorder.log(2).closedCalls, 0);
    const auto answeringIndex = recorder.indexOfPort(answering.localPort());
    ASSERT_TRUE(answeringIndex);
    EXPECT_TRUE(recorder.socket(*answeringIndex)->send(std::string("and you?")));
    EXPECT_EQ(answering.readText(), "and you?");

    const auto clientIndex = recorder.indexOfPort(client->localPort());
    ASSERT_TRUE(clientIndex);
    EXPECT_TRUE(recorder.socket(*clientIndex)->send(std::string("still there?")));
    EXPECT_EQ(client->receive(), "still there?");
    client->sendText("yes");
    EXPECT_TRUE(waitUntil([&] { return recorder.payloads(*clientIndex) == std::vector<std::string>{"yes"}; }));
    const auto chattyIndex = recorder.indexOfPort(chatty.localPort());
    ASSERT_TRUE(chattyIndex);
    EXPECT_TRUE(recorder.waitMessages(*chattyIndex, static_cast<std::size_t>(sent)));
}

TEST(Keepalive, PeersThatNeverFinishAClosingHandshakeAreDropped) {
    // A close that starts inside a read (the peer's close frame, or our 1009) gets no close timer from
    // Beast 1.81; the keepalive sweep ends it after two of its ticks (half the idle timeout), not the whole
    // idle timeout, even though the peer's close frame counted as traffic.
    auto config = keepaliveConfig();
    config.idleTimeout = 4s;
    config.maxMessageSize = 100;
    auto&& [recorder, server] = RecordingServer(config);

    RawSocket tooBig(server.port());
    ASSERT_TRUE(tooBig.upgrade());
    RawSocket closesButStays(server.port());
    ASSERT_TRUE(closesButStays.upgrade());
    ASSERT_TRUE(recorder.waitClients(2));
    const auto tooBigIndex = recorder.indexOfPort(tooBig.localPort());
    const auto closingIndex = recorder.indexOfPort(closesButStays.localPort());
    ASSERT_TRUE(tooBigIndex && closingIndex);

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(tooBig.sendAll(clientFrame(0x1, std::string(101, 'x'))));
    ASSERT_TRUE(closesButStays.sendAll(clientFrame(0x8, std::string("\x03\xe8", 2))));
    const std::string tooBigClose("\x88\x02\x03\xf1", 4);
    const std::string normalClose("\x88\x02\x03\xe8", 4);
    EXPECT_NE(tooBig.readUntil(tooBigClose, 2s).find(tooBigClose), std::string::npos);
    EXPECT_NE(closesButStays.readUntil(normalClose, 2s).find(normalClose), std::string::npos);
    // Neither peer answers or closes its side.
    ASSERT_TRUE(recorder.waitClosed(*tooBigIndex, 3s));
    ASSERT_TRUE(recorder.waitClosed(*closingIndex, 3s));
    const auto closedMillis =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(closedMillis, 2900);
    EXPECT_TRUE(recorder.log(*tooBigIndex).messages.empty());
    EXPECT_TRUE(tooBig.waitPeerClosed(2s));
    EXPECT_TRUE(closesButStays.waitPeerClosed(2s));
    std::cout << "[ measured ] peers that left the close unfinished were dropped after " << closedMillis << " ms\n";
}
