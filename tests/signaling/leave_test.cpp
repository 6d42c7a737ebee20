// Close handling: "peer-left", rooms freed for reuse, and the join and leave lines with their counts.
#include <gtest/gtest.h>

#include "support/signal_server.hpp"
#include "support/ws_client.hpp"

using namespace testing_support;

namespace {

std::unique_ptr<WsClient> joinRoom(const SignalServer& server, const std::string& room, const std::string& nick) {
    auto c = WsClient::connect(server.port());
    c->sendText(R"({"type":"join","room":")" + room + R"(","nick":")" + nick + R"("})");
    EXPECT_TRUE(c->receive().has_value());
    return c;
}

} // namespace

TEST(Leave, ScriptedSequencePrintsExactCounts) {
    SignalServer server;
    auto idle = WsClient::connect(server.port()); // counts as a client, never prints
    ASSERT_TRUE(server.waitForSizes({1, 0, 1}));
    auto a = joinRoom(server, "r1", "a");
    auto b = joinRoom(server, "r1", "b");
    EXPECT_EQ(a->receive(), R"({"peer":"b","type":"peer-joined"})");
    auto c = joinRoom(server, "r2", "c");
    a->close();
    EXPECT_EQ(b->receive(), R"({"type":"peer-left"})");
    ASSERT_TRUE(server.waitForSizes({3, 2, 1}));
    // The freed slot takes a newcomer; the remaining member hears of it.
    auto d = WsClient::connect(server.port());
    d->sendText(R"({"type":"join","room":"r1","nick":"d"})");
    EXPECT_EQ(d->receive(), R"({"peer":"b","type":"joined"})");
    EXPECT_EQ(b->receive(), R"({"peer":"d","type":"peer-joined"})");
    idle->close();
    ASSERT_TRUE(server.waitForSizes({3, 2, 1}));
    c->abort();
    ASSERT_TRUE(server.waitForSizes({2, 1, 1}));
    b->close();
    EXPECT_EQ(d->receive(), R"({"type":"peer-left"})");
    d->close();
    ASSERT_TRUE(server.waitForSizes({0, 0, 0}));

    EXPECT_EQ(server.consoleLines(), (std::vector<std::string>{
                                         "[+] join (rooms=1, clients=2)",
                                         "[+] join (rooms=1, clients=3)",
                                         "[+] join (rooms=2, clients=4)",
                                         "[-] leave (rooms=2, clients=3)",
                                         "[+] join (rooms=2, clients=4)",
                                         "[-] leave (rooms=1, clients=2)",
                                         "[-] leave (rooms=1, clients=1)",
                                         "[-] leave (rooms=0, clients=0)",
                                     }));
}

TEST(Leave, RefusedAndUnjoinedConnectionsPrintNoLeave) {
    ServerSettings settings;
    settings.password = "pw";
    SignalServer server(settings);
    auto wrong = WsClient::connect(server.port());
    wrong->sendText(R"({"type":"join","room":"r","password":"no"})");
    EXPECT_EQ(wrong->receive(), R"({"type":"unauthorized"})");
    EXPECT_EQ(wrong->waitClosed(), 1000);
    auto plain = WsClient::connect(server.port());
    plain->close();
    EXPECT_TRUE(server.waitForSizes({0, 0, 0}));
    EXPECT_EQ(server.consoleLines(), std::vector<std::string>{"[!] refused unauthorized from 127.0.0.1"});
}

TEST(Leave, ServerStopRunsCloseHandlingForEveryConnection) {
    auto server = std::make_unique<SignalServer>();
    auto a = joinRoom(*server, "r", "a");
    auto b = joinRoom(*server, "r", "b");
    auto c = WsClient::connect(server->port());
    ASSERT_TRUE(server->waitForSizes({3, 1, 1}));
    server->transport().stop();
    EXPECT_EQ(server->sizes(), (StateSizes{0, 0, 0}));
    EXPECT_EQ(server->consoleLines().size(), 4u); // two joins, two leaves
    EXPECT_TRUE(a->waitClosed().has_value());
}
