// Half-open peers: connections that upgraded (and mostly joined) and then went silent without any close, as
// when a client's network vanishes. The keepalive frees them: slot, room entry and per-IP count are given
// back and each partner hears "peer-left", while a quiet but live client that answers pings stays.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "attack_util.hpp"

using namespace attack;

TEST(HalfOpen, SilentPeersAreFreedByTheKeepaliveAndTheirPartnersHearPeerLeft) {
    constexpr auto idle = 1000ms; // long enough that every ghost is in place before the first is freed
    rtc::WebSocketServerConfiguration extra;
    extra.idleTimeout = idle;
    SignalServer server({}, extra);

    // A quiet pair that answers pings (the test client does): it must outlive the silent ones.
    auto quietA = joinedClient(server.port(), "quiet", "qa");
    auto quietB = joinedClient(server.port(), "quiet", "qb");
    ASSERT_EQ(quietA->receive(), peerJoinedText("qb"));
    const StateSizes before = server.sizes();
    const int ipBefore = server.ipCount("127.0.0.1");

    constexpr int rooms = 12;
    constexpr int unjoined = 6;
    std::vector<std::unique_ptr<WsClient>> partners;
    std::vector<std::unique_ptr<RawSocket>> silent;
    std::vector<Clock::time_point> lastHeard;
    for (int i = 0; i < rooms; ++i) {
        const std::string room = "half-" + std::to_string(i);
        partners.push_back(joinedClient(server.port(), room, "partner"));
        silent.push_back(rawJoined(server.port(), room, "ghost"));
        lastHeard.push_back(Clock::now()); // the ghost's join was its last word
        ASSERT_EQ(partners.back()->receive(), peerJoinedText("ghost"));
    }
    for (int i = 0; i < unjoined; ++i) {
        silent.push_back(std::make_unique<RawSocket>(server.port()));
        ASSERT_TRUE(silent.back()->upgrade());
    }
    ASSERT_TRUE(server.waitForSizes({before.clients + 2 * rooms + unjoined, before.rooms + rooms, before.ips}));
    EXPECT_EQ(server.ipCount("127.0.0.1"), ipBefore + 2 * rooms + unjoined);

    // Each partner learns of its ghost's departure from the keepalive alone.
    std::vector<long> freedAfter;
    for (int i = 0; i < rooms; ++i) {
        EXPECT_EQ(partners[i]->receive(5s), peerLeft) << "room " << i;
        freedAfter.push_back(static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastHeard[i]).count()));
    }
    std::sort(freedAfter.begin(), freedAfter.end());
    std::printf("[half-open] %d silent room members freed after %ld..%ld ms (idle timeout %ld ms)\n", rooms,
                freedAfter.front(), freedAfter.back(), static_cast<long>(idle.count()));
    std::fflush(stdout);
    // A ping goes out after half the idle time without a byte received, the close after the next half.
    EXPECT_GE(freedAfter.front(), idle.count() / 2 - 20);
    EXPECT_LE(freedAfter.back(), idle.count() + 3000);

    // Only the partners (and the quiet pair) are left: slots, rooms' nicks and per-IP counts given back.
    EXPECT_TRUE(server.waitForSizes({before.clients + rooms, before.rooms + rooms, before.ips}))
        << describe(server.sizes());
    EXPECT_EQ(server.ipCount("127.0.0.1"), ipBefore + rooms);
    // The ghosts themselves were dropped by the server, and they never got a close frame to answer.
    for (auto& ghost : silent)
        EXPECT_TRUE(ghost->waitPeerClosed(3s));

    // A freed slot is usable again: a newcomer meets the partner left behind.
    auto newcomer = WsClient::connect(server.port());
    newcomer->sendText(joinText("half-0", "newcomer"));
    EXPECT_EQ(newcomer->receive(), joinedText("partner"));
    EXPECT_EQ(partners[0]->receive(), peerJoinedText("newcomer"));
    newcomer->close();
    EXPECT_EQ(partners[0]->receive(), peerLeft);

    // The quiet pair lived through all of it and still relays.
    EXPECT_FALSE(quietA->isClosed());
    quietA->sendText(R"({"type":"candidate","candidate":"still here"})");
    EXPECT_EQ(quietB->receive(), R"({"type":"candidate","candidate":"still here"})");

    for (auto& partner : partners)
        partner->close();
    expectNothingLeaked(server, before);
    EXPECT_EQ(server.ipCount("127.0.0.1"), ipBefore);
}
