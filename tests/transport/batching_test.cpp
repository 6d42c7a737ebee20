// Queued messages leave in batches, and the messages of one read reach their peers' queues before those are
// drained. Neither may reorder or corrupt the byte stream (control frames included), lose the tail of a batch
// at a close, or hold back a relay while the sender's own connection waits on a blocked write.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "support/raw_socket.hpp"
#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

namespace {

struct ServerFrame {
    int opcode = 0;
    std::string payload;
};

// Reads unmasked server frames from a raw socket until `done(frames)` holds, the server closes the TCP
// connection or `bound` passes. Clears `intact` when the bytes are not a sequence of whole, well-formed frames.
class FrameReader {
public:
    explicit FrameReader(RawSocket& socket) : socket_(socket) {}

    template <class Done> void readUntil(Done done, std::chrono::milliseconds bound) {
        const auto end = std::chrono::steady_clock::now() + bound;
        char chunk[64 * 1024];
        while (!eof && intact && !done(frames)) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{socket_.fd(), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return;
            const auto n = ::recv(socket_.fd(), chunk, sizeof chunk, 0);
            if (n <= 0) {
                eof = true;
                intact = intact && bytes_.empty(); // no frame may be cut off by the end
                return;
            }
            bytes_.append(chunk, static_cast<std::size_t>(n));
            parse();
        }
    }

    std::vector<ServerFrame> frames;
    bool intact = true;
    bool eof = false;

private:
    void parse() {
        for (;;) {
            if (bytes_.size() < 2)
                return;
            const auto b0 = static_cast<unsigned char>(bytes_[0]);
            const auto b1 = static_cast<unsigned char>(bytes_[1]);
            if ((b0 & 0x80) == 0 || (b0 & 0x70) != 0 || (b1 & 0x80) != 0) { // final, no RSV bits, unmasked
                intact = false;
                return;
            }
            std::size_t length = b1 & 0x7F;
            std::size_t header = 2;
            if (length == 126 || length == 127) {
                const std::size_t extra = length == 126 ? 2 : 8;
                if (bytes_.size() < 2 + extra)
                    return;
                length = 0;
                for (std::size_t i = 0; i < extra; ++i)
                    length = (length << 8) | static_cast<unsigned char>(bytes_[2 + i]);
                header += extra;
            }
            if (bytes_.size() - header < length)
                return;
            frames.push_back({b0 & 0x0F, bytes_.substr(header, length)});
            bytes_.erase(0, header + length);
        }
    }

    RawSocket& socket_;
    std::string bytes_;
};

std::string numbered(std::size_t i, std::size_t size) {
    std::string s = std::to_string(i) + ":";
    s.resize(std::max(size, s.size()), static_cast<char>('a' + i % 26));
    return s;
}

} // namespace

// The client pipelines messages and pings in one write, more than one read of the server takes. Each message is answered by a burst of replies of mixed
// sizes (one larger than a whole batch). Every reply arrives whole and in order, each ping gets its pong, and
// after the client's close the close reply comes last.
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

    FrameReader reader(client);
    const auto count = [](const std::vector<ServerFrame>& frames, int opcode) {
        return static_cast<std::size_t>(
            std::count_if(frames.begin(), frames.end(), [&](const ServerFrame& f) { return f.opcode == opcode; }));
    };
    reader.readUntil([&](const auto& frames) { return count(frames, 0x1) == rounds * burst && count(frames, 0xA) == rounds; },
                     5s);
    // Every reply has arrived: now a close from the client, answered by the close reply and the end.
    ASSERT_TRUE(client.sendAll(clientFrame(0x8, std::string("\x03\xe8", 2))));
    reader.readUntil([](const auto&) { return false; }, 3s);
    ASSERT_TRUE(reader.intact) << "the server's byte stream did not parse as whole frames";
    EXPECT_TRUE(reader.eof);

    std::size_t nextText = 0;
    std::vector<std::string> pongs;
    bool closeSeen = false;
    for (const auto& f : reader.frames) {
        EXPECT_FALSE(closeSeen) << "a frame followed the close frame";
        if (f.opcode == 0x1) {
            EXPECT_EQ(f.payload, numbered(nextText, nextText % burst == 7 ? 100 * 1024 : 50 + nextText % 300));
            ++nextText;
        } else if (f.opcode == 0xA) {
            pongs.push_back(f.payload);
        } else if (f.opcode == 0x8) {
            closeSeen = true;
            EXPECT_EQ(f.payload.substr(0, 2), std::string("\x03\xe8", 2));
        } else {
            ADD_FAILURE() << "unexpected opcode " << f.opcode;
        }
    }
    EXPECT_EQ(nextText, rounds * burst);
    EXPECT_TRUE(closeSeen);
    ASSERT_EQ(pongs.size(), rounds);
    for (std::size_t r = 0; r < rounds; ++r)
        EXPECT_EQ(pongs[r], "ping " + std::to_string(r));
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

    RawSocket stalled(server.port(), "127.0.0.1", 4096); // never reads
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
