// Incoming limits: the message size limit (configured and default) and UTF-8 validity of text. An offending
// message is never delivered and costs only its own connection.
#include <gtest/gtest.h>

#include "support/raw_socket.hpp"
#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

TEST(Limits, MessageAtTheLimitPassesAndOneByteMoreClosesWith1009) {
    auto config = loopbackConfig();
    config.maxMessageSize = 1000;
    auto&& [recorder, server] = RecordingServer(config);

    auto offender = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(1));
    auto bystander = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(2));

    offender->sendText(std::string(1000, 't'));
    offender->sendBinary(std::string(1000, 'b'));
    ASSERT_TRUE(recorder.waitMessages(0, 2));
    offender->sendText(std::string(1001, 'x'));
    EXPECT_EQ(offender->waitClosed(), 1009);
    ASSERT_TRUE(recorder.waitClosed(0));
    EXPECT_EQ(recorder.log(0).closedCalls, 1);
    EXPECT_EQ(recorder.payloads(0), (std::vector<std::string>{std::string(1000, 't'), std::string(1000, 'b')}));

    // The limit is on the whole message, not on each frame: 500 + 500 passes as one message,
    // 600 + 600 closes although each frame is small.
    RawSocket fragments(server.port());
    ASSERT_TRUE(fragments.upgrade());
    ASSERT_TRUE(recorder.waitClients(3));
    ASSERT_TRUE(fragments.sendAll(clientFrame(0x2, std::string(500, 'p'), false) +
                                  clientFrame(0x0, std::string(500, 'q'), true)));
    ASSERT_TRUE(recorder.waitMessages(2, 1));
    EXPECT_EQ(recorder.payloads(2), std::vector<std::string>{std::string(500, 'p') + std::string(500, 'q')});
    ASSERT_TRUE(fragments.sendAll(clientFrame(0x2, std::string(600, 'f'), false) +
                                  clientFrame(0x0, std::string(600, 'g'), true)));
    const std::string tooBigClose("\x88\x02\x03\xf1", 4); // close frame, code 1009
    EXPECT_NE(fragments.readUntil(tooBigClose, 3s).find(tooBigClose), std::string::npos);
    ASSERT_TRUE(fragments.sendAll(clientFrame(0x8, std::string("\x03\xf1", 2)))); // finish the close politely
    fragments.shutdownWrite();
    ASSERT_TRUE(recorder.waitClosed(2));
    EXPECT_EQ(recorder.log(2).messages.size(), 1u);

    bystander->sendText("still here");
    ASSERT_TRUE(recorder.waitMessages(1, 1));
    EXPECT_EQ(recorder.payloads(1), std::vector<std::string>{"still here"});
    EXPECT_TRUE(recorder.socket(1)->send(std::string("and so is the server")));
    EXPECT_EQ(bystander->receive(), "and so is the server");
    EXPECT_EQ(recorder.log(1).closedCalls, 0);
}

TEST(Limits, UnsetOrZeroLimitMeans256KiB) {
    for (const std::optional<std::size_t> limit : {std::optional<std::size_t>{}, std::optional<std::size_t>{0}}) {
        SCOPED_TRACE(limit ? "maxMessageSize 0" : "maxMessageSize unset");
        auto config = loopbackConfig();
        config.maxMessageSize = limit;
        auto&& [recorder, server] = RecordingServer(config);

        auto client = WsClient::connect(server.port());
        ASSERT_TRUE(recorder.waitClients(1));
        const std::string largest(256 * 1024, 'a');
        client->sendText(largest);
        ASSERT_TRUE(recorder.waitMessages(0, 1));
        EXPECT_EQ(payloadOf(recorder.log(0).messages[0]), largest);

        client->sendText(largest + "b");
        EXPECT_EQ(client->waitClosed(), 1009);
        ASSERT_TRUE(recorder.waitClosed(0));
        EXPECT_EQ(recorder.log(0).messages.size(), 1u);
    }
}

TEST(Limits, InvalidUtf8TextIsRefusedUndelivered) {
    auto&& [recorder, server] = RecordingServer();
    auto client = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(1));

    const std::string invalid = "ok \xc3\x28 \xff";
    client->sendBinary(invalid); // binary carries any bytes
    client->sendText("valid \xe2\x82\xac");
    ASSERT_TRUE(recorder.waitMessages(0, 2));
    client->sendText(invalid);
    const auto code = client->waitClosed();
    ASSERT_TRUE(code);
    EXPECT_TRUE(*code == 1007 || *code == 0) << *code;
    ASSERT_TRUE(recorder.waitClosed(0));
    EXPECT_EQ(recorder.payloads(0), (std::vector<std::string>{invalid, "valid \xe2\x82\xac"}));
}
