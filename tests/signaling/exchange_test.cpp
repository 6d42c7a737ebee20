// The typical session end to end: two clients meet by room code and pass offer, answer and candidates.
#include <gtest/gtest.h>

#include "support/signal_server.hpp"
#include "support/ws_client.hpp"

using namespace testing_support;

namespace {

std::unique_ptr<WsClient> joinAs(const SignalServer& server, const std::string& room, const std::string& nick) {
    auto client = WsClient::connect(server.port());
    client->sendText(R"({"type":"join","room":")" + room + R"(","nick":")" + nick + R"("})");
    return client;
}

} // namespace

TEST(Exchange, TwoClientsMeetAndRelayUntilOneLeaves) {
    SignalServer server;
    auto a = joinAs(server, "r1", "alice");
    EXPECT_EQ(a->receive(), R"({"peer":"","type":"joined"})");
    auto b = joinAs(server, "r1", "bob");
    EXPECT_EQ(b->receive(), R"({"peer":"alice","type":"joined"})");
    EXPECT_EQ(a->receive(), R"({"peer":"bob","type":"peer-joined"})");

    const std::string offer = R"({"type":"offer", "sdp":"v=0\r\na=candidate:1 1 udp 1 10.0.0.1 5 typ relay\r\n"})";
    a->sendText(offer);
    EXPECT_EQ(b->receive(), offer);
    const std::string answer = R"({"sdp":"v=0\r\n","type":"answer"})";
    b->sendText(answer);
    EXPECT_EQ(a->receive(), answer);

    b->close();
    EXPECT_EQ(a->receive(), R"({"type":"peer-left"})");
    a->close();
    EXPECT_TRUE(server.waitForSizes({0, 0, 0}));
    EXPECT_EQ(server.consoleLines(),
              (std::vector<std::string>{"[+] join (rooms=1, clients=1)", "[+] join (rooms=1, clients=2)",
                                        "[-] leave (rooms=1, clients=1)", "[-] leave (rooms=0, clients=0)"}));
}
