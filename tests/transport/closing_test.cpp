// Every way a connection ends gives exactly one onClosed after its last onMessage; close() sends what was
// queued first; dropping the handle closes gracefully and releases the handlers.
#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "support/raw_socket.hpp"
#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

namespace {

// The connection has ended for good: one onClosed, nothing after it, and the handle says so.
void expectEndedOnce(const Recorder& recorder, std::size_t index, std::size_t messages) {
    ASSERT_TRUE(recorder.waitClosed(index)) << index;
    EXPECT_FALSE(waitUntil([&] { return recorder.log(index).closedCalls > 1; }, 100ms)) << index;
    const auto log = recorder.log(index);
    EXPECT_EQ(log.closedCalls, 1) << index;
    EXPECT_FALSE(log.messageAfterClosed) << index;
    EXPECT_EQ(log.messages.size(), messages) << index;
    auto socket = recorder.socket(index);
    EXPECT_FALSE(socket->isOpen());
    EXPECT_TRUE(socket->isClosed());
    EXPECT_FALSE(socket->send(std::string("too late")));
    socket->close(); // harmless once closed
}

} // namespace

TEST(Closing, ClientCloseFrame) {
    auto&& [recorder, server] = RecordingServer();
    auto client = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(1));

    for (int i = 0; i < 20; ++i)
        client->sendText("m" + std::to_string(i));
    ASSERT_TRUE(recorder.waitMessages(0, 20));
    client->close(1000);
    EXPECT_TRUE(client->waitClosed()); // the test client reports no code for a close it started
    expectEndedOnce(recorder, 0, 20);
    EXPECT_EQ(recorder.payloads(0).back(), "m19");

    // The server answers a close frame with the peer's code.
    RawSocket raw(server.port());
    ASSERT_TRUE(raw.upgrade());
    ASSERT_TRUE(recorder.waitClients(2));
    ASSERT_TRUE(
        raw.sendAll(clientFrame(0x1, "x") + clientFrame(0x2, "y") + clientFrame(0x8, std::string("\x03\xe9") + "bye")));
    const std::string goingAway("\x88\x02\x03\xe9", 4);
    EXPECT_NE(raw.readUntil(goingAway, 3s).find(goingAway), std::string::npos);
    EXPECT_TRUE(raw.waitPeerClosed(2s)); // the server's FIN; it waits for ours
    raw.shutdownWrite();
    expectEndedOnce(recorder, 1, 2);
}

TEST(Closing, ClientVanishesWithoutCloseFrame) {
    auto&& [recorder, server] = RecordingServer();

    // A FIN without a close frame.
    auto client = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(1));
    client->sendText("before abort");
    ASSERT_TRUE(recorder.waitMessages(0, 1));
    client->abort();
    expectEndedOnce(recorder, 0, 1);

    // A TCP reset.
    RawSocket raw(server.port());
    ASSERT_TRUE(raw.upgrade());
    ASSERT_TRUE(recorder.waitClients(2));
    ASSERT_TRUE(raw.sendAll(clientFrame(0x1, "one") + clientFrame(0x2, "two")));
    ASSERT_TRUE(recorder.waitMessages(1, 2));
    raw.resetAbruptly();
    expectEndedOnce(recorder, 1, 2);
}

TEST(Closing, ServerCloseSendsEverythingQueuedThen1000) {
    auto&& [recorder, server] = RecordingServer();
    auto client = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(1));
    auto socket = recorder.socket(0);

    // Large enough that most of them are still queued when close() is called.
    const std::string padding(10'000, 'x');
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(socket->send("n" + std::to_string(i) + ":" + padding));
    socket->close();
    EXPECT_FALSE(socket->isOpen());
    EXPECT_FALSE(socket->send(std::string("after close")));
    socket->close();

    for (int i = 0; i < 50; ++i) {
        const auto message = client->receive();
        ASSERT_TRUE(message) << "message " << i << " missing";
        EXPECT_EQ(message->substr(0, message->find(':')), "n" + std::to_string(i));
    }
    EXPECT_EQ(client->waitClosed(), 1000);
    expectEndedOnce(recorder, 0, 0);
}

TEST(Closing, CloseTwiceRacingTheClientsClose) {
    auto&& [recorder, server] = RecordingServer();

    constexpr std::size_t rounds = 20;
    for (std::size_t round = 0; round < rounds; ++round) {
        auto client = WsClient::connect(server.port());
        ASSERT_TRUE(recorder.waitClients(round + 1));
        auto socket = recorder.socket(round);
        client->sendText("hi");
        ASSERT_TRUE(recorder.waitMessages(round, 1));

        std::latch start(3);
        std::thread first([&] {
            start.arrive_and_wait();
            socket->close();
        });
        std::thread second([&] {
            start.arrive_and_wait();
            socket->close();
        });
        start.arrive_and_wait();
        client->close();
        first.join();
        second.join();

        EXPECT_TRUE(client->waitClosed()) << round;
        expectEndedOnce(recorder, round, 1);
    }
}

TEST(Closing, DroppedHandleClosesAfterItsQueueAndReleasesItsHandlers) {
    auto&& [recorder, server] = RecordingServer();
    auto client = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(1));

    std::weak_ptr<int> messageToken;
    std::weak_ptr<int> closedToken;
    {
        auto socket = recorder.socket(0);
        auto a = std::make_shared<int>(1);
        auto b = std::make_shared<int>(2);
        messageToken = a;
        closedToken = b;
        socket->onMessage([a](rtc::message_variant) {});
        socket->onClosed([b] {});
        for (int i = 0; i < 5; ++i)
            ASSERT_TRUE(socket->send("last words " + std::to_string(i)));
        recorder.dropHandle(0);
    } // the last handle goes here

    // The handle's destructor released the application's closures at once (they may hold its state).
    EXPECT_TRUE(messageToken.expired());
    EXPECT_TRUE(closedToken.expired());
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(client->receive(), "last words " + std::to_string(i));
    EXPECT_EQ(client->waitClosed(), 1000);
    EXPECT_EQ(recorder.log(0).closedCalls, 0); // the handlers went with the handle
}
