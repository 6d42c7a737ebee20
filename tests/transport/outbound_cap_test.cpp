// The outbound cap: a peer that stops reading cannot make the server queue without bound. send() refuses
// once the queued bytes would pass the cap, and the connection is closed within the forced-close deadline.
#include <gtest/gtest.h>

#include <iostream>
#include <thread>

#include "support/raw_socket.hpp"
#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

TEST(OutboundCap, PeerThatNeverReadsIsCutOffAndClosed) {
    LogCapture logs(rtc::LogLevel::Warning);
    auto config = loopbackConfig(); // forced-close deadline: the 300 ms handshake limit
    constexpr std::size_t cap = 256 * 1024;
    config.maxBufferedAmount = cap;
    auto&& [recorder, server] = RecordingServer(config);

    RawSocket stalled(server.port(), {.receiveBuffer = 4096}); // upgrades by hand, then never reads
    ASSERT_TRUE(stalled.upgrade());
    auto reader = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(2));
    const auto stalledIndex = recorder.indexOfPort(stalled.localPort());
    ASSERT_TRUE(stalledIndex);
    const std::size_t readerIndex = 1 - *stalledIndex;
    auto socket = recorder.socket(*stalledIndex);

    // Paced, so the queue grows because the peer does not read rather than because we outrun the I/O thread.
    const std::string chunk(16 * 1024, 'c');
    std::size_t accepted = 0;
    bool refused = false;
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    while (!refused && accepted < 256u * 1024 * 1024 && std::chrono::steady_clock::now() < giveUp) {
        if (socket->send(chunk)) {
            accepted += chunk.size();
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        } else {
            refused = true;
        }
    }
    const auto refusedAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(refused) << "send() never refused after " << accepted << " bytes";
    EXPECT_FALSE(socket->isOpen()); // at once, not when the close completes
    EXPECT_GE(accepted, cap);
    EXPECT_FALSE(socket->send(std::string("x")));

    ASSERT_TRUE(recorder.waitClosed(*stalledIndex, 3s));
    const auto closeMillis =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - refusedAt).count();
    EXPECT_LE(closeMillis, 300 + 1000);
    EXPECT_EQ(recorder.log(*stalledIndex).closedCalls, 1);
    EXPECT_TRUE(stalled.waitPeerClosed(3s));
    EXPECT_TRUE(logs.has(rtc::LogLevel::Warning, "over its cap"));

    // Another connection is not affected, and its own sends are counted apart.
    auto other = recorder.socket(readerIndex);
    EXPECT_TRUE(other->isOpen());
    EXPECT_TRUE(other->send(std::string("fine")));
    EXPECT_EQ(reader->receive(), "fine");
    std::cout << "[ measured ] accepted " << accepted << " bytes before refusing; onClosed " << closeMillis
              << " ms after the refusal\n";
}

TEST(OutboundCap, MessageOverTheCapIsRefusedAndTheReaderSees1008) {
    auto config = loopbackConfig();
    constexpr std::size_t cap = 64 * 1024;
    config.maxBufferedAmount = cap;
    auto&& [recorder, server] = RecordingServer(config);
    auto atCap = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(1));
    auto overCap = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(2));
    const auto atIndex = recorder.indexOfPort(atCap->localPort());
    const auto overIndex = recorder.indexOfPort(overCap->localPort());
    ASSERT_TRUE(atIndex && overIndex);

    // Nothing is queued yet on either connection, so exactly the cap fits and one byte more does not.
    EXPECT_TRUE(recorder.socket(*atIndex)->send(std::string(cap, 'a')));
    const auto received = atCap->receive();
    ASSERT_TRUE(received);
    EXPECT_EQ(received->size(), cap);

    auto refused = recorder.socket(*overIndex);
    EXPECT_FALSE(refused->send(rtc::binary(cap + 1)));
    EXPECT_FALSE(refused->isOpen());
    EXPECT_EQ(overCap->waitClosed(), 1008); // a reading peer does get the policy close frame
    ASSERT_TRUE(recorder.waitClosed(*overIndex));
    EXPECT_EQ(recorder.log(*overIndex).closedCalls, 1);

    EXPECT_TRUE(recorder.socket(*atIndex)->isOpen());
    EXPECT_EQ(recorder.log(*atIndex).closedCalls, 0);
}
