// Flood: a member of a room sends as fast as it can to a partner that never reads. The server queues at most
// its outbound cap for the reader, then cuts the reader off (the sender hears "peer-left"), drops what keeps
// coming, keeps its resident memory bounded, and other rooms relay undisturbed throughout.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include "attack_util.hpp"

using namespace attack;

namespace {

// The transport's warnings with their arrival times, for telling a cut at the cap from any other close.
class LogCapture {
public:
    LogCapture() {
        rtc::InitLogger(rtc::LogLevel::Warning, [this](rtc::LogLevel, std::string message) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(Clock::now(), std::move(message));
        });
    }
    ~LogCapture() { rtc::InitLogger(rtc::LogLevel::None); }
    // When the first record holding `needle` came, if one did.
    std::optional<Clock::time_point> seen(const std::string& needle) {
        std::lock_guard lock(mutex_);
        for (const auto& [when, line] : lines_)
            if (line.find(needle) != std::string::npos)
                return when;
        return std::nullopt;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<Clock::time_point, std::string>> lines_;
};

} // namespace

TEST(Flood, ANonReadingPartnerIsCutOffAtTheOutboundCapAndMemoryStaysBounded) {
    constexpr std::size_t cap = 1 << 20;
    LogCapture log;
    rtc::WebSocketServerConfiguration extra;
    extra.maxBufferedAmount = cap;
    extra.connectionTimeout = 1s; // also the deadline for a close the reader stalls
    SignalServer server({}, extra);

    auto calmA = joinedClient(server.port(), "calm", "ca");
    auto calmB = joinedClient(server.port(), "calm", "cb");
    ASSERT_EQ(calmA->receive(), peerJoinedText("cb"));
    const StateSizes before = server.sizes();

    auto sender = rawJoined(server.port(), "flood", "sender");
    auto reader = rawJoined(server.port(), "flood", "reader", 4096); // and never reads again
    ASSERT_NE(sender->readUntil(peerJoinedText("reader"), 3s).find(peerJoinedText("reader")), std::string::npos);
    const timeval sendBound{3, 0}; // a stalled server must not hang the flooding thread
    ::setsockopt(sender->fd(), SOL_SOCKET, SO_SNDTIMEO, &sendBound, sizeof sendBound);

    // Warm up the relay path so the first measurement already holds its steady allocations.
    for (int i = 0; i < 50; ++i) {
        calmA->sendText(R"({"type":"candidate","candidate":"warm"})");
        ASSERT_EQ(calmB->receive(), R"({"type":"candidate","candidate":"warm"})");
    }
    const long rssBefore = statusKiB("VmRSS:");
    const long peakBefore = statusKiB("VmHWM:");

    const std::string payload = R"({"type":"candidate","candidate":")" + std::string(16 * 1024, 'f') + R"("})";
    const std::string frame = clientFrame(0x1, payload);
    constexpr std::size_t floodPastTheCut = 64u << 20;
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    std::atomic<std::size_t> sent{0};
    std::thread flooder([&] {
        const auto end = Clock::now() + 30s;
        while (!stop && Clock::now() < end && sender->sendAll(frame))
            sent += frame.size();
        finished = true;
    });

    // Other rooms go on meanwhile; the reader's connection ends, by the cap.
    const auto start = Clock::now();
    int calmRounds = 0;
    long cutAfterMs = -1;
    std::size_t sentAtCut = 0;
    while (Clock::now() - start < 25s) {
        const std::string message = R"({"type":"candidate","candidate":"calm )" + std::to_string(calmRounds) + R"("})";
        calmA->sendText(message);
        if (calmB->receive() != message) {
            ADD_FAILURE() << "the calm room stopped relaying during the flood";
            break;
        }
        ++calmRounds;
        if (cutAfterMs < 0 && server.sizes().clients == before.clients + 1) {
            cutAfterMs = millisSince(start);
            sentAtCut = sent;
        }
        if (finished)
            break;
        // Flood on well past the cut (less on a slow machine).
        if (cutAfterMs >= 0 && (sent >= sentAtCut + floodPastTheCut || millisSince(start) > cutAfterMs + 8000))
            break;
    }
    stop = true;
    flooder.join();
    const std::size_t sentTotal = sent;

    ASSERT_GE(cutAfterMs, 0) << "the reader was never cut off";
    const auto overCap = log.seen("outgoing queue over its cap");
    ASSERT_TRUE(overCap.has_value()) << "the reader's connection ended some other way than by the cap";
    const long overCapAfterMs =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(*overCap - start).count());
    EXPECT_NE(sender->readUntil(peerLeft, 5s).find(peerLeft), std::string::npos);
    EXPECT_TRUE(reader->waitPeerClosed(5s));
    // The server went on reading the sender well past the cut (it drops what has no one to go to).
    EXPECT_GT(sentTotal, sentAtCut + 8 * cap);

    sender.reset();
    reader.reset();
    ASSERT_TRUE(server.waitForSizes(before)) << describe(server.sizes());
    const long rssAfter = statusKiB("VmRSS:");
    const long peakAfter = statusKiB("VmHWM:");
    std::printf("[flood] reader's queue over the cap after %ld ms, its connection gone after %ld ms (%zu KiB sent "
                "by then); %zu MiB flooded in all; %d calm relays meanwhile\n[flood] resident memory %ld KiB before, "
                "%ld KiB after; peak %ld KiB before, %ld KiB after (outbound cap %zu KiB)\n",
                overCapAfterMs, cutAfterMs, sentAtCut / 1024, sentTotal >> 20, calmRounds, rssBefore, rssAfter,
                peakBefore, peakAfter, cap / 1024);
    std::fflush(stdout);
    EXPECT_GT(calmRounds, 10);
    if (memoryIsMeaningful) {
        // What was flooded is many times the bound: none of it stays, and the peak held about the cap.
        EXPECT_LT(rssAfter - rssBefore, 16 * 1024);
        EXPECT_LT(peakAfter - peakBefore, 24 * 1024);
    }

    expectNothingLeaked(server, before);
    calmA->close();
    calmB->close();
    EXPECT_TRUE(server.waitForSizes({0, 0, 0}));
}

TEST(Flood, PingsFromAPeerThatReadsNothingAreNotAnsweredWithoutEndNorKeepItAlive) {
    rtc::WebSocketServerConfiguration extra;
    extra.idleTimeout = 1s;
    SignalServer server({}, extra);
    const StateSizes before = server.sizes();

    // Upgraded, not even joined; its receive window is tiny and it never reads.
    RawSocket pinger(server.port(), {.receiveBuffer = 4096});
    ASSERT_TRUE(pinger.upgrade());
    ASSERT_TRUE(server.waitForSizes({before.clients + 1, 0, 1}));
    const timeval sendBound{0, 300'000}; // a server that stopped reading shows as a send that does not finish
    ::setsockopt(pinger.fd(), SOL_SOCKET, SO_SNDTIMEO, &sendBound, sizeof sendBound);
    const long peakBefore = statusKiB("VmHWM:");

    // One ping per write, so the server's reads hold few pings each and it has many pongs to answer.
    const std::string ping = clientFrame(0x9, std::string(125, 'p'));
    constexpr std::size_t sendLimit = 256u << 20; // a server that reads on for good would queue about as much
    const auto start = Clock::now();
    std::size_t sent = 0;
    bool stalled = false;
    while (!stalled && sent < sendLimit && Clock::now() - start < 10s) {
        stalled = !pinger.sendAll(ping);
        sent += ping.size();
    }
    const long stalledAfterMs = millisSince(start);

    // Its pongs stay unwritten, so the pings it still sends count for nothing: the idle timeout ends it.
    EXPECT_TRUE(server.waitForSizes(before, 5s)) << describe(server.sizes());
    const long endedAfterMs = millisSince(start);
    EXPECT_GE(server.transport().counters().idleTimeouts, 1u);
    const long peakAfter = statusKiB("VmHWM:");
    std::printf("[flood] ping flood: %zu MiB of pings sent until the server stopped taking them (%ld ms); connection "
                "ended after %ld ms; peak memory %ld KiB before, %ld KiB after\n",
                sent >> 20, stalledAfterMs, endedAfterMs, peakBefore, peakAfter);
    std::fflush(stdout);
    // Sanitized builds read so slowly that each read holds hundreds of pings, and the server's send buffer fills
    // with their few pongs only after far longer than the bound: there the stall and memory say nothing.
    if (memoryIsMeaningful) {
        EXPECT_TRUE(stalled) << "the server read on for good";
        EXPECT_LT(peakAfter - peakBefore, 16 * 1024);
    }
    expectNothingLeaked(server, before);
}
