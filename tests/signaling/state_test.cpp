// The state operations on their own, with socket objects that were never connected (so never open).
#include <gtest/gtest.h>

#include "config/settings.hpp"
#include "signaling/console_lines.hpp"
#include "signaling/state.hpp"
#include "support/signal_server.hpp"
#include "transport/detail/connection.hpp"

namespace {

SocketPtr makeSocket() { return std::make_shared<rtc::WebSocket>(std::make_shared<rtc::detail::Connection>()); }

struct StateTest : ::testing::Test {
    void SetUp() override {
        testing_support::resetSignalingState();
        publishSettings(ServerSettings{});
    }
    void TearDown() override {
        testing_support::resetSignalingState();
        publishSettings(ServerSettings{});
    }
    nlohmann::json join(const std::string& nick) { return {{"type", "join"}, {"nick", nick}}; }
};

} // namespace

TEST_F(StateTest, FirstMemberTakesSlotOneSecondSlotZeroAndExpiredSlotsCountAsFree) {
    auto a = makeSocket(), b = makeSocket(), c = makeSocket();
    ClientCtx ca, cb, cc;
    EXPECT_EQ(claimRoomSlot(ca, a, "r", join("a")).slot, 1);
    EXPECT_EQ(claimRoomSlot(cb, b, "r", join("b")).slot, 0);
    EXPECT_EQ(claimRoomSlot(cc, c, "r", join("c")).outcome, ClaimOutcome::RoomFull);
    EXPECT_EQ(cc.slot, -1);
    EXPECT_EQ(lockPeer(ca), b);
    EXPECT_EQ(lockPeer(cb), a);

    // b's socket object is gone but its close handling has not run: the slot is free already.
    WeakSocket weakB = b;
    b.reset();
    EXPECT_TRUE(weakB.expired());
    EXPECT_EQ(lockPeer(ca), nullptr);
    auto r = claimRoomSlot(cc, c, "r", join("c"));
    EXPECT_EQ(r.outcome, ClaimOutcome::Joined);
    EXPECT_EQ(r.slot, 0);
    EXPECT_EQ(roomNicks.at("r")[0], "c");
    EXPECT_EQ(lockPeer(ca), c);
}

TEST_F(StateTest, ClosedButExistingSocketStillHoldsItsSlot) {
    auto a = makeSocket(), b = makeSocket(), c = makeSocket();
    a->close(); // never open: stays a live object in its slot
    ClientCtx ca, cb, cc;
    claimRoomSlot(ca, a, "r", join("a"));
    claimRoomSlot(cb, b, "r", join("b"));
    EXPECT_EQ(claimRoomSlot(cc, c, "r", join("c")).outcome, ClaimOutcome::RoomFull);
}

TEST_F(StateTest, VacateAndReleaseUndoEverythingInOrder) {
    auto a = makeSocket(), b = makeSocket();
    ClientCtx ca, cb;
    ca.ip = cb.ip = "10.0.0.1";
    ASSERT_TRUE(admitConnection(a, ca.ip));
    ASSERT_TRUE(admitConnection(b, cb.ip));
    EXPECT_EQ(connectionsPerIp.at("10.0.0.1"), 2);
    claimRoomSlot(ca, a, "r", join("a"));
    claimRoomSlot(cb, b, "r", join("b"));

    testing::internal::CaptureStdout();
    vacateRoomSlot(ca);
    releaseConnection(ca, a);
    flushConsoleLines();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[-] leave (rooms=1, clients=1)\n");
    EXPECT_EQ(rooms.count("r"), 1u);
    EXPECT_EQ(roomNicks.at("r")[1], "");
    EXPECT_EQ(roomNicks.at("r")[0], "b");
    EXPECT_EQ(connectionsPerIp.at("10.0.0.1"), 1);
    EXPECT_EQ(clients.count(a), 0u);
    // The context keeps its last values.
    EXPECT_EQ(ca.room, "r");
    EXPECT_EQ(ca.slot, 1);
    EXPECT_EQ(ca.nick, "a");

    testing::internal::CaptureStdout();
    vacateRoomSlot(cb);
    releaseConnection(cb, b);
    flushConsoleLines();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[-] leave (rooms=0, clients=0)\n");
    EXPECT_TRUE(rooms.empty());
    EXPECT_TRUE(roomNicks.empty());
    EXPECT_TRUE(connectionsPerIp.empty());
    EXPECT_TRUE(clients.empty());
}

TEST_F(StateTest, AdmissionLimitsUseGreaterOrEqualAndLeaveNoTraceOnRefusal) {
    maxConnections = 2;
    maxConnectionsPerIp = 1;
    auto a = makeSocket(), b = makeSocket(), c = makeSocket(), d = makeSocket();
    EXPECT_TRUE(admitConnection(a, "1.1.1.1"));
    EXPECT_FALSE(admitConnection(b, "1.1.1.1"));
    EXPECT_TRUE(admitConnection(b, ""));
    EXPECT_FALSE(admitConnection(c, "2.2.2.2")); // global limit first: no per-IP entry appears
    EXPECT_EQ(connectionsPerIp.count("2.2.2.2"), 0u);
    EXPECT_EQ(clients.size(), 2u);
    maxConnections = 0;
    maxConnectionsPerIp = 0;
    EXPECT_TRUE(admitConnection(c, "1.1.1.1"));
    EXPECT_TRUE(admitConnection(d, "1.1.1.1"));
    EXPECT_EQ(connectionsPerIp.at("1.1.1.1"), 3); // counted even without a per-IP limit
    EXPECT_EQ(connectionsPerIp.count(""), 0u);
}

TEST_F(StateTest, RoomLimitOnlyForNewRooms) {
    maxRooms = 1;
    auto a = makeSocket(), b = makeSocket(), c = makeSocket();
    ClientCtx ca, cb, cc;
    EXPECT_EQ(claimRoomSlot(ca, a, "one", join("a")).outcome, ClaimOutcome::Joined);
    EXPECT_EQ(claimRoomSlot(cb, b, "two", join("b")).outcome, ClaimOutcome::RoomLimitReached);
    EXPECT_EQ(rooms.size(), 1u);
    EXPECT_EQ(claimRoomSlot(cc, c, "one", join("c")).outcome, ClaimOutcome::Joined);
}

TEST_F(StateTest, VacatingAGoneRoomStillPrintsAndReleasingTwiceIsHarmless) {
    auto a = makeSocket();
    ClientCtx ca;
    ca.ip = "9.9.9.9";
    admitConnection(a, ca.ip);
    ca.room = "vanished";
    ca.slot = 0;
    testing::internal::CaptureStdout();
    vacateRoomSlot(ca);
    flushConsoleLines();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[-] leave (rooms=0, clients=0)\n");
    releaseConnection(ca, a);
    releaseConnection(ca, a);
    EXPECT_TRUE(connectionsPerIp.empty());
    EXPECT_TRUE(clients.empty());
}

TEST(Utf8Cut, NeverSplitsACharacter) {
    EXPECT_EQ(truncateUtf8("abc", 64), "abc");
    EXPECT_EQ(truncateUtf8(std::string(65, 'a'), 64), std::string(64, 'a'));
    EXPECT_EQ(truncateUtf8(std::string(63, 'a') + "\xC3\xA9", 64), std::string(63, 'a'));
    EXPECT_EQ(truncateUtf8(std::string(62, 'a') + "\xE2\x82\xAC", 64), std::string(62, 'a'));
    EXPECT_EQ(truncateUtf8(std::string(61, 'a') + "\xF0\x9F\x98\x80", 64), std::string(61, 'a'));
    EXPECT_EQ(truncateUtf8(std::string(60, 'a') + "\xF0\x9F\x98\x80" + "b", 64),
              std::string(60, 'a') + "\xF0\x9F\x98\x80");
    std::string emoji;
    for (int i = 0; i < 20; ++i)
        emoji += "\xF0\x9F\x98\x80";
    EXPECT_EQ(truncateUtf8(emoji, 64).size(), 64u);
    EXPECT_EQ(truncateUtf8(emoji, 63).size(), 60u);
}
