// Two servers in one process, each with its own settings and state.
#include <gtest/gtest.h>

#include "support/signal_server.hpp"
#include "support/ws_client.hpp"

using namespace testing_support;

TEST(TwoServers, RunSideBySideWithTheirOwnSettingsAndState) {
    ServerSettings guarded;
    guarded.password = "secret";
    guarded.maxRooms = 1;
    guarded.allowTurn = false;
    SignalServer first(guarded), second;

    const std::string join = R"({"type":"join","room":"r","nick":"n"})";
    const std::string relayCandidate =
        R"({"candidate":"candidate:1 1 udp 1 192.0.2.1 3478 typ relay","type":"candidate"})";
    auto refused = WsClient::connect(first.port());
    refused->sendText(join);
    EXPECT_EQ(refused->receive(), R"({"type":"unauthorized"})");

    std::unique_ptr<WsClient> pairs[2][2];
    for (int s = 0; s < 2; ++s)
        for (auto& member : pairs[s]) {
            member = WsClient::connect(s == 0 ? first.port() : second.port());
            member->sendText(s == 0 ? R"({"type":"join","room":"r","nick":"n","password":"secret"})" : join);
            ASSERT_TRUE(member->receive()); // joined
        }
    ASSERT_TRUE(pairs[0][0]->receive()); // peer-joined
    ASSERT_TRUE(pairs[1][0]->receive());

    // Only the first strips relay candidates and is at its room limit.
    pairs[0][1]->sendText(relayCandidate);
    pairs[1][1]->sendText(relayCandidate);
    EXPECT_EQ(pairs[1][0]->receive(), relayCandidate);
    EXPECT_TRUE(pairs[0][0]->receivesNothing());
    auto other = WsClient::connect(first.port());
    other->sendText(R"({"type":"join","room":"other","nick":"n","password":"secret"})");
    EXPECT_EQ(other->receive(), R"({"reason":"Server is at capacity, try later.","type":"error"})");
    auto free = WsClient::connect(second.port());
    free->sendText(R"({"type":"join","room":"other","nick":"n"})");
    EXPECT_EQ(free->receive(), R"({"peer":"","type":"joined"})");

    EXPECT_TRUE(first.waitForSizes({3, 1, 1}));  // two members and the refused room
    EXPECT_TRUE(second.waitForSizes({3, 2, 1})); // two members and the newcomer
}
