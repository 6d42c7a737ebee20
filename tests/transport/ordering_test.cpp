// Ordering: nothing is read before onClient returns, so handlers installed late miss nothing; messages keep
// their order and their kind in both directions.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

namespace {

enum class Ending { StaysOpen, CloseFrame, Abort };

// onClient waits until the client has sent its message (and, for the closing cases, is closing), then
// sleeps a little more before it installs the handlers.
void checkLateHandlersMissNothing(Ending ending) {
    Recorder recorder;
    std::atomic<bool> clientDone{false};
    std::atomic<int> onClientCalls{0};
    rtc::WebSocketServer server(loopbackConfig());
    server.onClient([&](std::shared_ptr<rtc::WebSocket> socket) {
        ++onClientCalls;
        waitUntil([&] { return clientDone.load(); }, 3s);
        std::this_thread::sleep_for(200ms);
        recorder.add(std::move(socket));
    });

    auto client = WsClient::connect(server.port());
    client->sendText("early");
    client->sendBinary("second");
    // The test client's close and abort do not wait for its queued frames: let them leave first.
    std::this_thread::sleep_for(50ms);
    if (ending == Ending::Abort) {
        clientDone = true;
        client->abort();
    } else if (ending == Ending::CloseFrame) {
        std::thread closer([&] { client->close(); }); // blocks until the server reads again
        std::this_thread::sleep_for(50ms);
        clientDone = true;
        closer.join();
    } else {
        clientDone = true;
    }

    ASSERT_TRUE(recorder.waitMessages(0, 2));
    EXPECT_EQ(recorder.payloads(0), (std::vector<std::string>{"early", "second"}));
    EXPECT_TRUE(isText(recorder.log(0).messages[0]));
    EXPECT_FALSE(isText(recorder.log(0).messages[1]));

    if (ending == Ending::StaysOpen) {
        EXPECT_EQ(recorder.log(0).closedCalls, 0);
        client->sendText("later");
        ASSERT_TRUE(recorder.waitMessages(0, 3));
        client->close();
        EXPECT_TRUE(client->waitClosed());
    }
    ASSERT_TRUE(recorder.waitClosed(0));
    EXPECT_FALSE(waitUntil([&] { return recorder.log(0).closedCalls > 1; }, 150ms));
    const auto log = recorder.log(0);
    EXPECT_EQ(log.closedCalls, 1);
    EXPECT_FALSE(log.messageAfterClosed);
    EXPECT_EQ(onClientCalls.load(), 1);
}

} // namespace

TEST(Ordering, SlowOnClientStillGetsTheMessagesOfAnOpenClient) { checkLateHandlersMissNothing(Ending::StaysOpen); }

TEST(Ordering, SlowOnClientStillGetsTheMessagesAndTheCloseOfAClosedClient) {
    checkLateHandlersMissNothing(Ending::CloseFrame);
}

TEST(Ordering, SlowOnClientStillGetsTheMessagesAndTheEndOfAnAbortedClient) {
    checkLateHandlersMissNothing(Ending::Abort);
}

TEST(Ordering, MessagesKeepTheirOrderAndKindBothWays) {
    auto&& [recorder, server] = RecordingServer();
    auto client = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(1));

    // Text, binary with every byte value, and the empty message of each kind.
    std::vector<std::pair<bool, std::string>> sent;
    for (int i = 0; i < 100; ++i) {
        if (i == 10)
            sent.emplace_back(true, "");
        else if (i == 11)
            sent.emplace_back(false, "");
        else if (i % 3 == 0)
            sent.emplace_back(false, std::string("\x00\xff", 2) + std::to_string(i) + std::string(1, char(i)));
        else
            sent.emplace_back(true, "message " + std::to_string(i) + " \xc3\xa9");
    }
    for (const auto& [text, data] : sent)
        text ? client->sendText(data) : client->sendBinary(data);

    ASSERT_TRUE(recorder.waitMessages(0, sent.size()));
    const auto received = recorder.log(0).messages;
    ASSERT_EQ(received.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(isText(received[i]), sent[i].first) << i;
        EXPECT_EQ(payloadOf(received[i]), sent[i].second) << i;
    }

    auto socket = recorder.socket(0);
    for (const auto& [text, data] : sent)
        ASSERT_TRUE(text ? socket->send(data) : socket->send(bytesOf(data)));
    for (std::size_t i = 0; i < sent.size(); ++i) {
        auto frame = client->receiveFrame();
        ASSERT_TRUE(frame) << i;
        EXPECT_EQ(frame->text, sent[i].first) << i;
        EXPECT_EQ(frame->data, sent[i].second) << i;
    }
}
