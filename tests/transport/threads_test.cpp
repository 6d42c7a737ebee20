// Threads and re-entrancy: sends from many threads keep each thread's order, and no callback ever runs inside
// send, close, isOpen, remoteAddress, handler installation or a handle's destructor, so the application may
// call them all while holding its own lock.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

TEST(Threads, EightThreadsSendingAtOnceArriveCompleteAndInOrderPerThread) {
    auto&& [recorder, server] = RecordingServer();
    auto client = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(1));
    auto socket = recorder.socket(0);

    constexpr int threadCount = 8;
    constexpr int perThread = 500;
    std::atomic<int> refused{0};
    std::atomic<bool> sending{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                const std::string text = std::to_string(t) + ":" + std::to_string(i);
                const bool ok = (i % 2 == 0) ? socket->send(text) : socket->send(bytesOf(text));
                if (!ok)
                    ++refused;
            }
        });
    std::thread observer([&] { // reads the handle's state meanwhile
        while (sending)
            if (!socket->isOpen() || !socket->remoteAddress())
                ++refused;
    });

    std::vector<int> next(threadCount, 0);
    int received = 0;
    for (; received < threadCount * perThread; ++received) {
        const auto frame = client->receiveFrame(5s);
        if (!frame)
            break;
        const auto colon = frame->data.find(':');
        ASSERT_NE(colon, std::string::npos) << frame->data;
        const int t = std::stoi(frame->data.substr(0, colon));
        const int i = std::stoi(frame->data.substr(colon + 1));
        ASSERT_TRUE(t >= 0 && t < threadCount) << frame->data;
        ASSERT_EQ(i, next[t]) << "thread " << t << " out of order";
        EXPECT_EQ(frame->text, i % 2 == 0) << frame->data;
        ++next[t];
    }
    for (auto& thread : threads)
        thread.join();
    sending = false;
    observer.join();

    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(received, threadCount * perThread);
    EXPECT_EQ(next, std::vector<int>(threadCount, perThread));
    EXPECT_TRUE(client->receivesNothing(100ms));
}

TEST(Threads, SendsOrderedAcrossThreadsArriveInThatOrder) {
    // The signaling code sends from a connection's own handler and, right after, from another connection's
    // handler on another thread (a reply, then a peer's notice). The later send must not overtake.
    std::mutex mutex;
    std::shared_ptr<rtc::WebSocket> kept;
    rtc::WebSocketServer server(loopbackConfig());
    server.onClient([&](std::shared_ptr<rtc::WebSocket> socket) {
        std::weak_ptr<rtc::WebSocket> weak = socket;
        socket->onMessage([weak](rtc::message_variant message) {
            auto self = weak.lock();
            if (!self)
                return;
            const std::string text = payloadOf(message);
            self->send("first " + text);
            std::thread other([&] { self->send("second " + text); });
            other.join();
        });
        std::lock_guard lock(mutex);
        kept = std::move(socket);
    });
    auto client = WsClient::connect(server.port());
    for (int i = 0; i < 20; ++i) {
        client->sendText(std::to_string(i));
        EXPECT_EQ(client->receive(), "first " + std::to_string(i));
        EXPECT_EQ(client->receive(), "second " + std::to_string(i));
    }
}

namespace {

// Set while this thread holds the application's lock, as the signaling code does around its state.
thread_local bool insideAppLock = false;

struct App {
    std::mutex mutex;
    std::vector<std::shared_ptr<rtc::WebSocket>> sockets;
    std::map<std::size_t, std::vector<std::string>> received;
    std::map<std::size_t, int> closedCalls;
    std::atomic<int> callbacks{0};
    std::atomic<int> reentered{0};

    // Every callback starts here. A callback that finds the flag set was called from inside one of our calls
    // into the transport; it then backs off instead of locking again (which would deadlock).
    bool enter() {
        ++callbacks;
        if (insideAppLock) {
            ++reentered;
            return false;
        }
        return true;
    }

    struct Lock {
        explicit Lock(App& app) : guard(app.mutex) { insideAppLock = true; }
        ~Lock() { insideAppLock = false; }
        std::lock_guard<std::mutex> guard;
    };

    std::function<void(rtc::message_variant)> messageHandler(std::size_t index) {
        return [this, index](rtc::message_variant message) {
            if (!enter())
                return;
            Lock lock(*this);
            const std::string text = payloadOf(message);
            received[index].push_back(text);
            auto& self = sockets[index];
            for (std::size_t j = 0; j < sockets.size(); ++j)
                if (sockets[j] && sockets[j]->isOpen() && sockets[j]->remoteAddress())
                    sockets[j]->send("echo " + std::to_string(index) + " " + text);
            if (text == "reinstall") { // a handler replacing itself while it runs
                self->onMessage(messageHandler(index));
                self->onClosed(closedHandler(index));
            } else if (text == "close-others") {
                for (std::size_t j = 0; j < sockets.size(); ++j)
                    if (j != index && sockets[j])
                        sockets[j]->close();
            } else if (text == "close-me") {
                self->close();
                self->close();
                self->send(std::string("refused after close"));
            }
        };
    }

    std::function<void()> closedHandler(std::size_t index) {
        return [this, index] {
            if (!enter())
                return;
            Lock lock(*this);
            ++closedCalls[index];
            sockets[index].reset(); // the last handle, dropped inside its own onClosed
            for (auto& other : sockets)
                if (other && other->isOpen())
                    other->send("closed " + std::to_string(index));
        };
    }

    void onClient(std::shared_ptr<rtc::WebSocket> socket) {
        if (!enter())
            return;
        Lock lock(*this);
        const std::size_t index = sockets.size();
        socket->onMessage(messageHandler(index));
        socket->onClosed(closedHandler(index));
        socket->send("welcome " + std::to_string(index));
        for (auto& other : sockets)
            if (other && other->isOpen())
                other->send("joined " + std::to_string(index));
        sockets.push_back(std::move(socket));
    }

    std::size_t receivedCount(std::size_t index) {
        std::lock_guard guard(mutex);
        return received[index].size();
    }
    int closed(std::size_t index) {
        std::lock_guard guard(mutex);
        return closedCalls[index];
    }
};

} // namespace

TEST(Threads, CallbacksNeverRunInsideCallsMadeUnderTheApplicationsLock) {
    App app;
    rtc::WebSocketServer server(loopbackConfig());
    server.onClient([&](std::shared_ptr<rtc::WebSocket> socket) { app.onClient(std::move(socket)); });

    auto a = WsClient::connect(server.port());
    ASSERT_EQ(a->receive(), "welcome 0");
    auto b = WsClient::connect(server.port());
    ASSERT_EQ(b->receive(), "welcome 1");
    EXPECT_EQ(a->receive(), "joined 1");

    constexpr int perClient = 200;
    std::thread fromA([&] {
        for (int i = 0; i < perClient; ++i)
            a->sendText(i == perClient / 2 ? "reinstall" : "a" + std::to_string(i));
    });
    std::thread fromB([&] {
        for (int i = 0; i < perClient; ++i)
            b->sendText(i == perClient / 2 ? "reinstall" : "b" + std::to_string(i));
    });
    fromA.join();
    fromB.join();
    ASSERT_TRUE(waitUntil([&] { return app.receivedCount(0) == perClient && app.receivedCount(1) == perClient; }));

    // Each client got the echo of every message of both, each sender's in its order.
    for (auto* client : {a.get(), b.get()}) {
        int fromZero = 0, fromOne = 0;
        for (int k = 0; k < 2 * perClient; ++k) {
            const auto echo = client->receive();
            ASSERT_TRUE(echo) << k;
            const bool zero = echo->rfind("echo 0 ", 0) == 0;
            int& counter = zero ? fromZero : fromOne;
            const std::string expected =
                counter == perClient / 2 ? "reinstall" : (zero ? "a" : "b") + std::to_string(counter);
            EXPECT_EQ(echo->substr(7), expected);
            ++counter;
        }
    }

    a->sendText("close-others");
    EXPECT_EQ(b->waitClosed(), 1000);
    ASSERT_TRUE(waitUntil([&] { return app.closed(1) == 1; }));
    EXPECT_EQ(a->receive(), "echo 0 close-others");
    EXPECT_EQ(a->receive(), "closed 1");

    a->sendText("close-me");
    EXPECT_EQ(a->receive(), "echo 0 close-me");
    EXPECT_EQ(a->waitClosed(), 1000);
    ASSERT_TRUE(waitUntil([&] { return app.closed(0) == 1; }));

    EXPECT_EQ(app.reentered.load(), 0);
    EXPECT_GE(app.callbacks.load(), 2 * perClient + 4);
    std::lock_guard guard(app.mutex);
    EXPECT_EQ(app.closedCalls[0], 1);
    EXPECT_EQ(app.closedCalls[1], 1);
    EXPECT_FALSE(app.sockets[0]);
    EXPECT_FALSE(app.sockets[1]);
}
