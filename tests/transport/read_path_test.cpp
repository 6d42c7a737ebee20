// The receive path: frames are found wherever the reads happen to cut them, many in one read or one across
// many, and an unfinished frame waits with its connection until the rest arrives.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "support/raw_socket.hpp"
#include "transport/detail/frame_reader.hpp"
#include "transport_test_util.hpp"

using namespace transport_test;
using testing_support::clientFrame;
using testing_support::RawSocket;

namespace {

// What a FrameReader reported, one line per event.
struct Events final : rtc::detail::FrameReader::Handler {
    std::vector<std::string> seen;
    void onMessage(bool text, std::string_view payload) override {
        seen.push_back((text ? "text " : "binary ") + std::string(payload));
    }
    void onPing(std::string_view payload) override { seen.push_back("ping " + std::string(payload)); }
    void onPong() override { seen.push_back("pong"); }
    void onClose(std::uint16_t code, std::string_view reason) override {
        seen.push_back("close " + std::to_string(code) + " " + std::string(reason));
    }
};

// Feeds `bytes` in pieces ending at each of `cuts`; returns the events, or "fault N" last.
std::vector<std::string> readInPieces(const std::string& bytes, const std::vector<std::size_t>& cuts,
                                      std::size_t* keptAtEnd = nullptr) {
    rtc::detail::FrameReader reader(1024);
    Events events;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t to = i < cuts.size() ? cuts[i] : bytes.size();
        std::string piece = bytes.substr(from, to - from); // a read's own buffer, unmasked in place
        if (const auto fault = reader.feed(piece.data(), piece.size(), events)) {
            events.seen.push_back("fault " + std::to_string(fault));
            break;
        }
        from = to;
    }
    if (keptAtEnd)
        *keptAtEnd = reader.kept();
    return events.seen;
}

const std::string euro = "\xE2\x82\xAC";
const std::string rocket = "\xF0\x9F\x9A\x80";

} // namespace

TEST(ReadPath, FramesAreTheSameWhereverTheReadsCutThem) {
    // A 16-bit length, a fragmented text with a four-byte character split between fragments and a ping
    // between them, an empty message, a pong and a close with a reason.
    const std::string bytes = clientFrame(0x1, "price " + euro) + clientFrame(0x2, std::string(300, 'b')) +
                              clientFrame(0x1, "go " + rocket.substr(0, 2), false) + clientFrame(0x9, "p") +
                              clientFrame(0x0, rocket.substr(2) + "!", true) + clientFrame(0x1, "") +
                              clientFrame(0xA, "late") +
                              clientFrame(0x8, "\x03\xE8"
                                               "bye") +
                              clientFrame(0x1, "after the close");
    const std::vector<std::string> expected = {
        "text price " + euro, "binary " + std::string(300, 'b'), "ping p", "text go " + rocket + "!", "text ", "pong",
        "close 1000 bye"};
    std::size_t kept = 1;
    EXPECT_EQ(readInPieces(bytes, {}, &kept), expected);
    EXPECT_EQ(kept, 0u);
    for (std::size_t cut = 1; cut < bytes.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        ASSERT_EQ(readInPieces(bytes, {cut}), expected);
    }
    std::vector<std::size_t> everyByte;
    for (std::size_t cut = 1; cut < bytes.size(); ++cut)
        everyByte.push_back(cut);
    EXPECT_EQ(readInPieces(bytes, everyByte, &kept), expected);
    EXPECT_EQ(kept, 0u);
}

TEST(ReadPath, FaultsAreFoundInPiecesAsInOneRead) {
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        // The size is judged on the header: the payload need not arrive (nor be buffered) first.
        {"message over the limit, header only", clientFrame(0x1, std::string(1025, 'x')).substr(0, 8), {"fault 1009"}},
        {"fragments together over the limit",
         clientFrame(0x2, std::string(600, 'a'), false) + clientFrame(0x0, std::string(600, 'b')),
         {"fault 1009"}},
        {"invalid UTF-8 across fragments",
         clientFrame(0x1, "ok", true) + clientFrame(0x1, euro.substr(0, 2), false) + clientFrame(0x0, "x"),
         {"text ok", "fault 1007"}},
        {"text ending inside a character", clientFrame(0x1, "a" + euro.substr(0, 1)), {"fault 1007"}},
        {"close code 1005 in a close frame", clientFrame(0x8, "\x03\xED"), {"fault 1002"}},
        {"close code 1016, unassigned", clientFrame(0x8, "\x03\xF8"), {"fault 1002"}},
        {"text above U+10FFFF", clientFrame(0x1, "\xF4\x90\x80\x80"), {"fault 1007"}},
        {"new message inside a fragmented one", clientFrame(0x1, "a", false) + clientFrame(0x1, "b"), {"fault 1002"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(readInPieces(c.bytes, {}), c.expected);
        std::vector<std::size_t> everyByte;
        for (std::size_t cut = 1; cut < c.bytes.size(); ++cut)
            everyByte.push_back(cut);
        EXPECT_EQ(readInPieces(c.bytes, everyByte), c.expected);
    }
}

TEST(ReadPath, ManyFramesInOneReadAndOneFrameAcrossReadsReachTheApplication) {
    auto config = loopbackConfig();
    config.maxMessageSize = 200 * 1024;
    auto&& [recorder, server] = RecordingServer(config);
    RawSocket raw(server.port());
    ASSERT_TRUE(raw.upgrade());
    ASSERT_TRUE(recorder.waitClients(1));

    // 2000 frames in one write: far more than one read takes, so they also straddle the reads.
    std::string burst;
    std::vector<std::string> expected;
    for (int i = 0; i < 2000; ++i) {
        expected.push_back("frame " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 97), '.'));
        burst += clientFrame(0x1, expected.back());
    }
    // One message larger than a read, in one frame.
    expected.push_back(std::string(150 * 1024, 'L'));
    burst += clientFrame(0x2, expected.back());
    ASSERT_TRUE(raw.sendAll(burst));
    ASSERT_TRUE(recorder.waitMessages(0, expected.size()));
    EXPECT_EQ(recorder.payloads(0), expected);

    // Frames cut at every byte across two reads (a pause between the halves): each arrives whole.
    const std::string pair = clientFrame(0x1, "cut " + euro) + clientFrame(0x2, "second");
    for (std::size_t cut = 1; cut < pair.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        ASSERT_TRUE(raw.sendAll(pair.substr(0, cut)));
        std::this_thread::sleep_for(2ms);
        ASSERT_TRUE(raw.sendAll(pair.substr(cut)));
        ASSERT_TRUE(recorder.waitMessages(0, expected.size() + 2));
        const auto payloads = recorder.payloads(0);
        EXPECT_EQ(payloads[expected.size()], "cut " + euro);
        EXPECT_EQ(payloads[expected.size() + 1], "second");
        expected.insert(expected.end(), {"cut " + euro, "second"});
    }
}

TEST(ReadPath, AnUnfinishedFrameWaitsOnAnIdleConnectionAndAFragmentedMessageSpansReads) {
    auto&& [recorder, server] = RecordingServer();
    RawSocket raw(server.port());
    ASSERT_TRUE(raw.upgrade());
    ASSERT_TRUE(recorder.waitClients(1));

    // Half a frame, then silence: nothing is delivered, the connection stays, and the rest completes it.
    const std::string frame = clientFrame(0x1, "completed later");
    ASSERT_TRUE(raw.sendAll(frame.substr(0, 9)));
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(recorder.log(0).messages.empty());
    EXPECT_EQ(recorder.log(0).closedCalls, 0);
    ASSERT_TRUE(raw.sendAll(frame.substr(9)));
    ASSERT_TRUE(recorder.waitMessages(0, 1));

    // A fragmented message over three reads, a ping answered in the middle of it.
    ASSERT_TRUE(raw.sendAll(clientFrame(0x1, "one ", false)));
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(raw.sendAll(clientFrame(0x0, "two ", false) + clientFrame(0x9, "mid")));
    const auto pong = raw.readFrame();
    ASSERT_TRUE(pong.has_value());
    EXPECT_EQ(pong->opcode, 0xA);
    EXPECT_EQ(pong->payload, "mid");
    EXPECT_EQ(recorder.log(0).messages.size(), 1u);
    ASSERT_TRUE(raw.sendAll(clientFrame(0x0, "three", true)));
    ASSERT_TRUE(recorder.waitMessages(0, 2));

    // Data and the close frame in one read: the data is delivered, the close answered, the end reported once.
    ASSERT_TRUE(
        raw.sendAll(clientFrame(0x1, "last words") + clientFrame(0x2, "and bytes") + clientFrame(0x8, "\x03\xE8")));
    const auto close = raw.readFrame();
    ASSERT_TRUE(close.has_value());
    EXPECT_EQ(close->opcode, 0x8);
    EXPECT_EQ(close->payload, std::string("\x03\xE8", 2));
    EXPECT_TRUE(raw.waitPeerClosed(2s)); // the server's FIN; it waits for ours
    raw.shutdownWrite();
    ASSERT_TRUE(recorder.waitClosed(0));
    EXPECT_EQ(recorder.payloads(0),
              (std::vector<std::string>{"completed later", "one two three", "last words", "and bytes"}));
    EXPECT_EQ(recorder.log(0).closedCalls, 1);
}

TEST(ReadPath, ABusyConnectionsLastMessageAndItsEndInOneWakeUpEndIt) {
    // The I/O thread is held in a handler while the peer's last message and its FIN arrive, so that one wake-up
    // finds both: a read that took the bytes and waited for more would leave the end to the keepalive, a minute
    // (loopbackConfig's idle timeout) away.
    std::mutex mutex;
    std::vector<std::string> received;
    std::atomic<int> closed{0};
    std::vector<std::shared_ptr<rtc::WebSocket>> sockets;
    rtc::WebSocketServer server(loopbackConfig());
    server.onClient([&](std::shared_ptr<rtc::WebSocket> socket) {
        socket->onMessage([&](rtc::message_variant message) {
            const std::string text = payloadOf(message);
            if (text == "hold")
                std::this_thread::sleep_for(200ms);
            std::lock_guard lock(mutex);
            received.push_back(text);
        });
        socket->onClosed([&] { ++closed; });
        std::lock_guard lock(mutex);
        sockets.push_back(std::move(socket));
    });
    auto count = [&] {
        std::lock_guard lock(mutex);
        return received.size();
    };

    RawSocket raw(server.port());
    ASSERT_TRUE(raw.upgrade());
    for (int i = 0; i < 3; ++i) { // one read each: the connection is busy, with a read of its own pending
        ASSERT_TRUE(raw.sendAll(clientFrame(0x1, "busy")));
        ASSERT_TRUE(waitUntil([&] { return count() == static_cast<std::size_t>(i + 1); }));
    }
    ASSERT_TRUE(raw.sendAll(clientFrame(0x1, "hold")));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(raw.sendAll(clientFrame(0x1, "last")));
    raw.shutdownWrite();
    EXPECT_TRUE(waitUntil([&] { return closed == 1; }, 2s));
    std::lock_guard lock(mutex);
    EXPECT_EQ(received, (std::vector<std::string>{"busy", "busy", "busy", "hold", "last"}));
}
