// Binding and listening: ephemeral ports, ports in use, unusable addresses, IPv4-only versus dual-stack.
#include <gtest/gtest.h>

#include "support/raw_socket.hpp"
#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

namespace {

std::string constructionError(const rtc::WebSocketServerConfiguration& config) {
    try {
        rtc::WebSocketServer server(config);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(Listening, PortZeroPicksAPortThatServesClients) {
    auto&& [recorder, server] = RecordingServer();
    ASSERT_NE(server.port(), 0);

    auto client = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(1));
    client->sendText("hello");
    ASSERT_TRUE(recorder.waitMessages(0, 1));
    EXPECT_EQ(recorder.payloads(0), std::vector<std::string>{"hello"});
}

TEST(Listening, PortInUseThrowsAndSaysSo) {
    Recorder recorder; // before the server, which calls into it until it is gone
    rtc::WebSocketServer first(loopbackConfig());
    auto config = loopbackConfig();
    config.port = first.port();

    const std::string sameAddress = constructionError(config);
    EXPECT_NE(sameAddress.find("Address already in use"), std::string::npos) << sameAddress;
    EXPECT_NE(sameAddress.find(std::to_string(first.port())), std::string::npos) << sameAddress;

    // Every interface includes 127.0.0.1, so the wildcard bind must fail on the same port too.
    config.bindAddress = "";
    const std::string wildcard = constructionError(config);
    EXPECT_NE(wildcard.find("Address already in use"), std::string::npos) << wildcard;

    // The failed attempts left the first server untouched.
    first.onClient(recorder.onClient());
    auto client = WsClient::connect(first.port());
    EXPECT_TRUE(recorder.waitClients(1));
}

TEST(Listening, AddressNotOnThisMachineThrows) {
    // Numeric addresses only: a host name would be looked up over the network.
    for (const std::string address : {"192.0.2.1", "2001:db8::1"}) {
        auto config = loopbackConfig();
        config.bindAddress = address;
        const std::string error = constructionError(config);
        EXPECT_FALSE(error.empty()) << address;
        EXPECT_NE(error.find(address), std::string::npos) << error;
    }
}

TEST(Listening, Ipv4BindRefusesIpv6Clients) {
    if (!ipv6LoopbackUsable())
        GTEST_SKIP() << "::1 is not usable here";
    auto&& [recorder, server] = RecordingServer();

    ClientOptions v6;
    v6.host = "::1";
    v6.timeout = 2s;
    EXPECT_THROW(WsClient::connect(server.port(), v6), std::runtime_error);
    EXPECT_THROW(RawSocket(server.port(), {.host = "::1"}), std::runtime_error);
    auto v4 = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(1));
    EXPECT_EQ(recorder.log(0).remoteAddress, "127.0.0.1:" + std::to_string(v4->localPort()));
    EXPECT_FALSE(waitUntil([&] { return recorder.clientCount() > 1; }, 200ms));
}

TEST(Listening, EmptyBindAddressServesBothFamiliesWithPlainAddresses) {
    if (!ipv6LoopbackUsable())
        GTEST_SKIP() << "::1 is not usable here";
    auto config = loopbackConfig();
    config.bindAddress = "";
    auto&& [recorder, server] = RecordingServer(config);

    ClientOptions v6;
    v6.host = "::1";
    auto six = WsClient::connect(server.port(), v6);
    auto four = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(2));

    const auto sixIndex = recorder.indexOfPort(six->localPort());
    const auto fourIndex = recorder.indexOfPort(four->localPort());
    ASSERT_TRUE(sixIndex && fourIndex);
    EXPECT_EQ(recorder.log(*sixIndex).remoteAddress, "[::1]:" + std::to_string(six->localPort()));
    // An IPv4 client on the dual-stack socket is reported unmapped, never as [::ffff:127.0.0.1].
    EXPECT_EQ(recorder.log(*fourIndex).remoteAddress, "127.0.0.1:" + std::to_string(four->localPort()));

    six->sendText("over six");
    four->sendText("over four");
    EXPECT_TRUE(recorder.waitMessages(*sixIndex, 1));
    EXPECT_TRUE(recorder.waitMessages(*fourIndex, 1));
    EXPECT_EQ(recorder.payloads(*sixIndex), std::vector<std::string>{"over six"});
    EXPECT_EQ(recorder.payloads(*fourIndex), std::vector<std::string>{"over four"});
}
