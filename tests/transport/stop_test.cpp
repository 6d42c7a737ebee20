// Stopping the server: every open connection gets its onClosed, handshakes in progress are dropped, the
// threads are joined within the bound, and handles kept past the server stay safe to use.
#include <gtest/gtest.h>

#include <iostream>

#include "support/raw_socket.hpp"
#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

TEST(Stop, DestroyingTheServerClosesEveryConnectionAndLeavesHandlesSafe) {
    Recorder recorder;
    auto server = std::make_unique<rtc::WebSocketServer>(loopbackConfig());
    server->onClient(recorder.onClient());

    std::vector<std::unique_ptr<WsClient>> clients;
    for (int i = 0; i < 3; ++i)
        clients.push_back(WsClient::connect(server->port()));
    RawSocket silent(server->port()); // upgraded, never reads: its close cannot complete politely
    ASSERT_TRUE(silent.upgrade());
    ASSERT_TRUE(recorder.waitClients(4));
    RawSocket handshaking(server->port()); // never reaches onClient
    for (std::size_t i = 0; i < 3; ++i) {
        clients[i]->sendText("before stop");
        ASSERT_TRUE(recorder.waitMessages(recorder.indexOfPort(clients[i]->localPort()).value(), 1));
    }

    const auto start = std::chrono::steady_clock::now();
    server->stop();
    server->stop(); // idempotent
    server.reset();
    const auto stopMillis =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(stopMillis, 3000);

    // onClosed ran for each before the destructor returned.
    for (std::size_t i = 0; i < 4; ++i) {
        const auto log = recorder.log(i);
        EXPECT_EQ(log.closedCalls, 1) << i;
        EXPECT_FALSE(log.messageAfterClosed) << i;
        auto socket = recorder.socket(i);
        EXPECT_FALSE(socket->isOpen()) << i;
        EXPECT_TRUE(socket->isClosed()) << i;
        EXPECT_FALSE(socket->send(std::string("after stop"))) << i;
        EXPECT_FALSE(socket->send(rtc::binary(3))) << i;
        socket->close();
        socket->onMessage([](rtc::message_variant) {});
        socket->onClosed([] {});
        EXPECT_TRUE(socket->remoteAddress()) << i;
    }
    EXPECT_EQ(recorder.clientCount(), 4u);
    for (auto& client : clients)
        EXPECT_TRUE(client->waitClosed(2s)) << "client still connected after the server stopped";
    EXPECT_TRUE(silent.waitPeerClosed(2s));
    EXPECT_TRUE(handshaking.waitPeerClosed(2s));
    for (std::size_t i = 0; i < 4; ++i)
        recorder.dropHandle(i); // the last handles go after the server
    std::cout << "[ measured ] stop with 4 open connections took " << stopMillis << " ms\n";
}

TEST(Stop, ServerWithoutOnClientStopsAndRefusesFurtherConnections) {
    auto server = std::make_unique<rtc::WebSocketServer>(loopbackConfig());
    const uint16_t port = server->port();
    // Accepting starts with onClient; until then a connection waits in the backlog.
    RawSocket waiting(port);
    server.reset();
    EXPECT_TRUE(waiting.waitPeerClosed(2s));
    EXPECT_THROW(RawSocket{port}, std::runtime_error);
}
