// Exceptions thrown by application handlers stop at the transport: logged at Error, and the connection, the
// read loop and the accept loop all go on.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

TEST(Exceptions, ThrowingHandlersAreCaughtLoggedAndTheServerGoesOn) {
    LogCapture logs(rtc::LogLevel::Error);
    Recorder recorder;
    std::atomic<int> closedCalls{0};
    rtc::WebSocketServer server(loopbackConfig());
    server.onClient([&](std::shared_ptr<rtc::WebSocket> socket) {
        const std::size_t index = recorder.add(socket);
        // The recorder's handlers, wrapped in ones that throw after recording.
        socket->onMessage([&recorder, index](rtc::message_variant m) {
            const std::string text = payloadOf(m);
            recorder.socket(index)->send("got " + text);
            if (text == "throw")
                throw std::runtime_error("onMessage boom");
            if (text == "throw-int")
                throw 42;
        });
        socket->onClosed([&closedCalls] {
            ++closedCalls;
            throw std::logic_error("onClosed boom");
        });
        if (index == 0)
            throw std::runtime_error("onClient boom");
    });

    auto first = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(1));
    EXPECT_TRUE(logs.waitFor(rtc::LogLevel::Error, "onClient boom"));
    // Reading started although onClient threw, and a throwing onMessage does not stop the next read.
    for (const std::string text : {"a", "throw", "b", "throw-int", "c"}) {
        first->sendText(text);
        EXPECT_EQ(first->receive(), "got " + text);
    }
    EXPECT_TRUE(logs.waitFor(rtc::LogLevel::Error, "onMessage boom"));
    EXPECT_TRUE(logs.waitFor(rtc::LogLevel::Error, "non-standard"));
    EXPECT_TRUE(recorder.socket(0)->isOpen());

    // The next client is accepted and served.
    auto second = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(2));
    second->sendText("throw");
    EXPECT_EQ(second->receive(), "got throw");
    second->sendText("d");
    EXPECT_EQ(second->receive(), "got d");

    first->close();
    EXPECT_TRUE(first->waitClosed());
    ASSERT_TRUE(waitUntil([&] { return closedCalls == 1; }));
    EXPECT_TRUE(logs.waitFor(rtc::LogLevel::Error, "onClosed boom"));
    EXPECT_TRUE(recorder.socket(0)->isClosed());

    // The other connection is untouched by all of it, and a third client still gets in.
    second->sendText("e");
    EXPECT_EQ(second->receive(), "got e");
    auto third = WsClient::connect(server.port());
    EXPECT_TRUE(recorder.waitClients(3));
    EXPECT_EQ(closedCalls.load(), 1);
    for (const auto& [level, text] : logs.records())
        EXPECT_LE(static_cast<int>(level), static_cast<int>(rtc::LogLevel::Error)) << text;
}
