// Queued messages leave in batches, and the messages of one read reach their peers' queues before those are
// drained. Neither may reorder or corrupt the byte stream (control frames included), lose the tail of a batch
// at a close, or hold back a relay while the sender's own connection waits on a blocked write.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "support/raw_socket.hpp"
#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

namespace {

std::string numbered(std::size_t i, std::size_t size) {
    std::string s = std::to_string(i) + ":";
    s.resize(std::max(size, s.size()), static_cast<char>('a' + i % 26));
    return s;
}

} // namespace

// The client pipelines messages and pings in one write, more than one read of the server takes. Each message is
// answered by a burst of replies of mixed sizes (one larger than a whole batch). Every reply arrives whole and in
// order, each ping gets its pong, and after the client's close the close reply comes last.
TEST(Batching, BurstsPingsAndACloseShareOneIntactOrderedStream) {
    constexpr std::size_t rounds = 6;
    constexpr std::size_t burst = 40;
    std::atomic<std::size_t> sent{0};
    std::atomic<int> closed{0};
    std::shared_ptr<rtc::WebSocket> kept;
    std::mutex receivedMutex;
    std::vector<std::string> received;
    rtc::WebSocketServer server(loopbackConfig());
    server.onClient([&](std::shared_ptr<rtc::WebSocket> socket) {
        std::weak_ptr<rtc::WebSocket> weak = socket;
        socket->onMessage([weak, &sent, &receivedMutex, &received](rtc::message_variant m) {
            {
                std::lock_guard lock(receivedMutex);
                received.push_back(payloadOf(m));
            }
            auto self = weak.lock();
            for (std::size_t i = 0; i < burst; ++i) {
                const std::size_t n = sent++;
                self->send(numbered(n, n % burst == 7 ? 100 * 1024 : 50 + n % 300));
            }
        });
        socket->onClosed([&closed] { ++closed; });
        kept = std::move(socket); // one client only
    });

    RawSocket client(server.port());
    ASSERT_TRUE(client.upgrade());
    // Messages of varied sizes, so the server's reads end in the middle of frames, headers included.
    std::string script;
    std::vector<std::string> messages;
    for (std::size_t r = 0; r < rounds; ++r) {
        messages.push_back(numbered(r, r % 2 == 0 ? 7000 + 997 * r : 20 + r));
        script += clientFrame(0x1, messages.back());
        script += clientFrame(0x9, "ping " + std::to_string(r));
    }
    ASSERT_TRUE(client.sendAll(script));

    std::vector<ServerFrame> frames;
    const auto count = [&](int opcode) {
        return static_cast<std::size_t>(
            std::count_if(frames.begin(), frames.end(), [&](const ServerFrame& f) { return f.opcode == opcode; }));
    };
    const auto end = std::chrono::steady_clock::now() + 5s;
    // Pings that come faster than their pongs leave are answered by one pong, for the latest of them.
    const std::string lastPing = "ping " + std::to_string(rounds - 1);
    const auto lastPongSeen = [&] {
        return std::any_of(frames.begin(), frames.end(), [&](const ServerFrame& f) { return f.payload == lastPing; });
    };
    while (count(0x1) < rounds * burst || !lastPongSeen()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        auto frame = client.readFrame(std::max(left, 0ms));
        if (!frame)
            break;
        frames.push_back(std::move(*frame));
    }
    // Every reply has arrived: now a close from the client, answered by the close reply and the end.
    ASSERT_TRUE(client.sendAll(clientFrame(0x8, std::string("\x03\xe8", 2))));
    while (auto frame = client.readFrame(3s))
        frames.push_back(std::move(*frame));
    // A masked frame, or one cut off by the end, stays unread.
    ASSERT_EQ(client.buffered(), 0u) << "the server's byte stream did not parse as whole frames";
    EXPECT_TRUE(client.waitPeerClosed(100ms));

    std::size_t nextText = 0;
    std::vector<std::string> pongs;
    bool closeSeen = false;
    for (const auto& f : frames) {
        EXPECT_FALSE(closeSeen) << "a frame followed the close frame";
        EXPECT_TRUE(f.fin && !f.reserved) << "a fragment or a frame with reserved bits";
        if (f.opcode == 0x1) {
            EXPECT_EQ(f.payload, numbered(nextText, nextText % burst == 7 ? 100 * 1024 : 50 + nextText % 300));
            ++nextText;
        } else if (f.opcode == 0xA) {
            pongs.push_back(f.payload);
        } else if (f.opcode == 0x8) {
            closeSeen = true;
            EXPECT_EQ(f.payload.substr(0, 2), std::string("\x03\xe8", 2));
        } else {
            ADD_FAILURE() << "unexpected opcode " << int(f.opcode);
        }
    }
    EXPECT_EQ(nextText, rounds * burst);
    EXPECT_TRUE(closeSeen);
    // Pongs answer pings in their order, each at most once, and the last ping is answered.
    ASSERT_FALSE(pongs.empty());
    EXPECT_EQ(pongs.back(), lastPing);
    std::size_t nextPing = 0;
    for (const auto& pong : pongs) {
        while (nextPing < rounds && pong != "ping " + std::to_string(nextPing))
            ++nextPing;
        EXPECT_LT(nextPing++, rounds) << "a pong out of order or for no ping: " << pong;
    }
    {
        std::lock_guard lock(receivedMutex);
        EXPECT_EQ(received, messages);
    }
    client.shutdownWrite(); // the client's side of the TCP close ends the server's teardown
    EXPECT_TRUE(waitUntil([&] { return closed.load() == 1; }, 3s));
}

// A relay made while handling a message must not wait for the sender's own connection: here the sender does
// not read, the server's write to it is stuck, and the ping that follows the message needs a pong that cannot
// be written. The relayed message still reaches the other peer at once.
TEST(Batching, RelayIsNotHeldBackWhileTheSendersOwnWriteIsBlocked) {
    Recorder recorder;
    auto config = loopbackConfig();
    config.maxBufferedAmount = 256u * 1024 * 1024; // no cut-off: the stuck write must stay stuck
    rtc::WebSocketServer server(config);
    std::mutex mutex;
    std::shared_ptr<rtc::WebSocket> target;
    server.onClient([&](std::shared_ptr<rtc::WebSocket> socket) {
        const std::size_t index = recorder.add(socket);
        if (index == 1) {
            std::lock_guard lock(mutex);
            target = socket;
        }
        if (index == 0)
            socket->onMessage([&](rtc::message_variant m) {
                std::lock_guard lock(mutex);
                if (target)
                    target->send(std::move(m));
            });
    });

    RawSocket stalled(server.port(), {.receiveBuffer = 4096}); // never reads
    ASSERT_TRUE(stalled.upgrade());
    ASSERT_TRUE(recorder.waitClients(1));
    auto reader = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(2));

    // More than the kernel buffers of both ends can hold, so the server's write to `stalled` blocks.
    auto stalledSocket = recorder.socket(0);
    const std::string chunk(64 * 1024, 'x');
    for (int i = 0; i < 160; ++i)
        ASSERT_TRUE(stalledSocket->send(chunk));
    std::this_thread::sleep_for(200ms);

    ASSERT_TRUE(stalled.sendAll(clientFrame(0x1, "relay me") + clientFrame(0x9, "are you there")));
    EXPECT_EQ(reader->receive(2s), "relay me");
}
