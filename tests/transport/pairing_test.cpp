// Two connections kept together: one of them moves to the other's I/O thread while messages flow both ways or a
// close is under way, and nothing is lost, reordered or reported twice.
#include <gtest/gtest.h>

#include <array>
#include <mutex>
#include <thread>

#include "support/raw_socket.hpp"
#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

namespace {

// A server of two I/O threads whose two connections relay each other's messages, as a room of two does; it notes
// the thread each message was handled on and how often each connection's onClosed ran.
class RelayPair {
public:
    RelayPair() : server_(config()) {
        server_.onClient([this](std::shared_ptr<rtc::WebSocket> socket) {
            std::lock_guard lock(mutex_);
            const std::size_t me = count_++;
            if (me > 1)
                return;
            sockets_[me] = socket;
            socket->onMessage([this, me](rtc::message_variant message) {
                std::shared_ptr<rtc::WebSocket> partner;
                {
                    std::lock_guard lock(mutex_);
                    handledOn_[me] = std::this_thread::get_id();
                    partner = sockets_[1 - me];
                }
                if (partner)
                    partner->send(std::move(message));
            });
            socket->onClosed([this, me] {
                std::lock_guard lock(mutex_);
                ++closed_[me];
            });
        });
    }

    uint16_t port() const { return server_.port(); }
    bool waitBoth() {
        return waitUntil([&] {
            std::lock_guard lock(mutex_);
            return count_ >= 2;
        });
    }
    std::shared_ptr<rtc::WebSocket> socket(std::size_t i) {
        std::lock_guard lock(mutex_);
        return sockets_[i];
    }
    std::thread::id handledOn(std::size_t i) {
        std::lock_guard lock(mutex_);
        return handledOn_[i];
    }
    int closedCalls(std::size_t i) {
        std::lock_guard lock(mutex_);
        return closed_[i];
    }

private:
    static rtc::WebSocketServerConfiguration config() {
        auto c = loopbackConfig();
        c.threads = 2; // connections go to the threads in turn: the two of a pair start on different ones
        return c;
    }

    std::mutex mutex_;
    std::size_t count_ = 0;
    std::array<std::shared_ptr<rtc::WebSocket>, 2> sockets_;
    std::array<std::thread::id, 2> handledOn_;
    std::array<int, 2> closed_{};
    rtc::WebSocketServer server_; // last: it goes first, with every handler that reaches the members above
};

// Sends `count` numbered messages from `from` and checks that `to` gets them all, in order.
void exchange(WsClient& from, WsClient& to, int first, int count) {
    for (int i = first; i < first + count; ++i)
        from.sendText(std::to_string(i));
    for (int i = first; i < first + count; ++i)
        ASSERT_EQ(to.receive(), std::to_string(i));
}

} // namespace

TEST(Pairing, MessagesKeepTheirOrderBothWaysWhileAMemberMoves) {
    // Busy members (a read pending in their own buffer) and idle ones (waiting without one) move alike.
    for (const int before : {0, 1, 200}) {
        SCOPED_TRACE("messages before the move: " + std::to_string(before));
        RelayPair pair;
        auto a = WsClient::connect(pair.port());
        auto b = WsClient::connect(pair.port());
        ASSERT_TRUE(pair.waitBoth());
        exchange(*a, *b, 0, before);
        exchange(*b, *a, 0, before);

        constexpr int during = 2000;
        std::thread fromB([&] {
            for (int i = 0; i < during; ++i)
                b->sendText(std::to_string(i));
        });
        for (int i = 0; i < during; ++i) {
            a->sendText(std::to_string(i));
            if (i == during / 4)
                pair.socket(0)->keepTogetherWith(*pair.socket(1));
        }
        fromB.join();
        for (int i = 0; i < during; ++i) {
            ASSERT_EQ(b->receive(), std::to_string(i));
            ASSERT_EQ(a->receive(), std::to_string(i));
        }
        // One more each way, handled after the move: now on one thread.
        exchange(*a, *b, during, 1);
        exchange(*b, *a, during, 1);
        EXPECT_EQ(pair.handledOn(0), pair.handledOn(1));
    }
}

TEST(Pairing, ACloseRacingTheMoveEndsOnceAfterEverythingSentBeforeIt) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        RelayPair pair;
        auto a = WsClient::connect(pair.port());
        auto b = WsClient::connect(pair.port());
        ASSERT_TRUE(pair.waitBoth());
        exchange(*a, *b, 0, 3); // a is busy: it moves from a read pending in its own buffer
        // The server closes one of them (the one that moves or the one that stays) right after asking.
        const std::size_t closing = round % 2;
        auto socket = pair.socket(closing);
        for (int i = 0; i < 50; ++i)
            socket->send(std::to_string(i));
        pair.socket(1)->keepTogetherWith(*pair.socket(0));
        socket->close();

        WsClient& closed = closing == 0 ? *a : *b;
        for (int i = 0; i < 50; ++i)
            ASSERT_EQ(closed.receive(), std::to_string(i));
        EXPECT_EQ(closed.waitClosed(), 1000);
        ASSERT_TRUE(waitUntil([&] { return pair.closedCalls(closing) == 1; }));
        // The other one still relays, whichever thread it is on now, and ends once when its client leaves.
        WsClient& open = closing == 0 ? *b : *a;
        open.sendText("still here");
        open.close();
        ASSERT_TRUE(waitUntil([&] { return pair.closedCalls(1 - closing) == 1; }));
        EXPECT_EQ(pair.closedCalls(closing), 1);
    }
}

TEST(Pairing, ClosesThatTheClientsLeaveUnansweredAreForcedOnEitherThread) {
    // The close deadline's timer is made when the close starts, on the thread the connection is on by then:
    // the one that moved and the one that stayed are both cut off at the deadline (300 ms), long before the
    // keepalive (60 s) would end them.
    RelayPair pair;
    RawSocket a(pair.port());
    ASSERT_TRUE(a.upgrade());
    RawSocket b(pair.port());
    ASSERT_TRUE(b.upgrade());
    ASSERT_TRUE(pair.waitBoth());
    pair.socket(0)->keepTogetherWith(*pair.socket(1));
    ASSERT_TRUE(a.sendAll(clientFrame(0x1, "moved?")));
    ASSERT_EQ(b.readText(), "moved?"); // the move happens at a wait for input: this relay has been past one
    ASSERT_TRUE(b.sendAll(clientFrame(0x1, "and back")));
    ASSERT_EQ(a.readText(), "and back");
    EXPECT_EQ(pair.handledOn(0), pair.handledOn(1));

    const auto start = std::chrono::steady_clock::now();
    pair.socket(0)->close();
    pair.socket(1)->close();
    const std::string closeFrame("\x88\x02\x03\xe8", 4);
    for (RawSocket* client : {&a, &b}) // each reads our close frame and never answers it
        EXPECT_NE(client->readUntil(closeFrame, 2s).find(closeFrame), std::string::npos);
    EXPECT_TRUE(a.waitPeerClosed(3s));
    EXPECT_TRUE(b.waitPeerClosed(3s));
    const auto closedMillis =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(closedMillis, 300 + 1500);
    ASSERT_TRUE(waitUntil([&] { return pair.closedCalls(0) == 1 && pair.closedCalls(1) == 1; }));
}
