// The state operations on their own, with socket objects that were never connected (so never open).
#include <gtest/gtest.h>

#include "app/console_lines.hpp"
#include "signaling/protocol.hpp"
#include "signaling/state.hpp"
#include "transport/detail/connection.hpp"

using namespace murva;

namespace {

SocketPtr makeSocket() { return std::make_shared<rtc::WebSocket>(std::make_shared<rtc::detail::Connection>()); }

// A state with the given limits whose leave lines go to the console, and clients for its sockets.
struct StateTest : ::testing::Test {
    ServerSettings settings;
    ConsoleReporter console;
    std::unique_ptr<SignalingState> state = std::make_unique<SignalingState>(settings, &console);

    void limit(uint32_t connections, uint32_t perIp, uint32_t rooms) {
        settings.maxConnections = connections;
        settings.maxConnectionsPerIp = perIp;
        settings.maxRooms = rooms;
        state = std::make_unique<SignalingState>(settings, &console);
    }
    static std::shared_ptr<Client> client(const SocketPtr& socket, std::string ip = "") {
        return std::make_shared<Client>(socket, ip, ip);
    }
    ClaimResult claim(const std::shared_ptr<Client>& c, const std::string& room, const std::string& nick) {
        return state->claimRoomSlot(c, room, nick);
    }
    const Room& room(const std::string& code) { return *state->findRoom(code); }
};

} // namespace

TEST_F(StateTest, FirstMemberTakesSlotOneSecondSlotZeroAndExpiredSlotsCountAsFree) {
    auto a = makeSocket(), b = makeSocket(), c = makeSocket();
    auto ca = client(a), cb = client(b), cc = client(c);
    EXPECT_EQ(claim(ca, "r", "a").outcome, ClaimOutcome::Joined);
    EXPECT_EQ(ca->slot, 1);
    EXPECT_EQ(claim(cb, "r", "b").peerNick, "a");
    EXPECT_EQ(cb->slot, 0);
    EXPECT_EQ(claim(cc, "r", "c").outcome, ClaimOutcome::RoomFull);
    EXPECT_EQ(cc->slot, -1);
    EXPECT_EQ(state->peerOf(*ca), cb.get());
    EXPECT_EQ(state->peerOf(*cb), ca.get());

    // b's socket object is gone but its close handling has not run: the slot is free already.
    WeakSocket weakB = b;
    b.reset();
    EXPECT_TRUE(weakB.expired());
    EXPECT_EQ(state->peerOf(*ca), nullptr);
    auto r = claim(cc, "r", "c");
    EXPECT_EQ(r.outcome, ClaimOutcome::Joined);
    EXPECT_EQ(r.peer, ca.get());
    EXPECT_EQ(cc->slot, 0);
    EXPECT_EQ(room("r")[0].nick, "c");
    EXPECT_EQ(state->peerOf(*ca), cc.get());
}

TEST_F(StateTest, ClosedButExistingSocketStillHoldsItsSlot) {
    auto a = makeSocket(), b = makeSocket(), c = makeSocket();
    a->close(); // never open: stays a live object in its slot
    claim(client(a), "r", "a");
    claim(client(b), "r", "b");
    EXPECT_EQ(claim(client(c), "r", "c").outcome, ClaimOutcome::RoomFull);
}

TEST_F(StateTest, VacateAndReleaseUndoEverythingInOrder) {
    auto a = makeSocket(), b = makeSocket();
    auto ca = client(a, "10.0.0.1"), cb = client(b, "10.0.0.1");
    ASSERT_TRUE(state->admit(a, ca->ip));
    ASSERT_TRUE(state->admit(b, cb->ip));
    EXPECT_EQ(state->connectionsFrom("10.0.0.1"), 2);
    claim(ca, "r", "a");
    claim(cb, "r", "b");
    flushConsoleLines(); // the join lines

    testing::internal::CaptureStdout();
    state->vacateRoomSlot(*ca);
    state->release(*ca);
    flushConsoleLines();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[-] leave (rooms=1, clients=1)\n");
    ASSERT_NE(state->findRoom("r"), nullptr);
    EXPECT_FALSE(room("r")[1].taken());
    EXPECT_EQ(room("r")[1].nick, "");
    EXPECT_EQ(room("r")[0].nick, "b");
    EXPECT_EQ(state->connectionsFrom("10.0.0.1"), 1);
    EXPECT_EQ(state->sizes().clients, 1u);
    // The client keeps its last values.
    EXPECT_EQ(ca->room, "r");
    EXPECT_EQ(ca->slot, 1);
    EXPECT_EQ(ca->nick, "a");

    testing::internal::CaptureStdout();
    state->vacateRoomSlot(*cb);
    state->release(*cb);
    flushConsoleLines();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[-] leave (rooms=0, clients=0)\n");
    EXPECT_EQ(state->sizes(), (StateSizes{0, 0, 0}));
}

TEST_F(StateTest, AdmissionLimitsUseGreaterOrEqualAndLeaveNoTraceOnRefusal) {
    limit(2, 1, 4096);
    auto a = makeSocket(), b = makeSocket(), c = makeSocket(), d = makeSocket();
    EXPECT_TRUE(state->admit(a, "1.1.1.1"));
    EXPECT_FALSE(state->admit(b, "1.1.1.1"));
    EXPECT_TRUE(state->admit(b, ""));
    EXPECT_FALSE(state->admit(c, "2.2.2.2")); // global limit first: no per-IP entry appears
    EXPECT_EQ(state->sizes(), (StateSizes{2, 0, 1}));

    limit(0, 0, 4096);
    EXPECT_TRUE(state->admit(a, "1.1.1.1"));
    EXPECT_TRUE(state->admit(c, "1.1.1.1"));
    EXPECT_TRUE(state->admit(d, "1.1.1.1"));
    EXPECT_TRUE(state->admit(b, ""));
    EXPECT_EQ(state->connectionsFrom("1.1.1.1"), 3);  // counted even without a per-IP limit
    EXPECT_EQ(state->sizes(), (StateSizes{4, 0, 1})); // no entry for the empty address
}

TEST_F(StateTest, RoomLimitOnlyForNewRooms) {
    limit(1024, 32, 1);
    auto a = makeSocket(), b = makeSocket(), c = makeSocket();
    EXPECT_EQ(claim(client(a), "one", "a").outcome, ClaimOutcome::Joined);
    EXPECT_EQ(claim(client(b), "two", "b").outcome, ClaimOutcome::RoomLimitReached);
    EXPECT_EQ(state->sizes().rooms, 1u);
    EXPECT_EQ(claim(client(c), "one", "c").outcome, ClaimOutcome::Joined);
}

TEST_F(StateTest, VacatingAGoneRoomStillPrintsAndReleasingTwiceIsHarmless) {
    auto a = makeSocket();
    auto ca = client(a, "9.9.9.9");
    state->admit(a, ca->ip);
    ca->room = "vanished";
    ca->slot = 0;
    flushConsoleLines();
    testing::internal::CaptureStdout();
    state->vacateRoomSlot(*ca);
    flushConsoleLines();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[-] leave (rooms=0, clients=0)\n");
    state->release(*ca);
    state->release(*ca);
    EXPECT_EQ(state->sizes(), (StateSizes{0, 0, 0}));
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
