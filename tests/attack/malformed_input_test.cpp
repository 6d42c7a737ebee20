// Hostile bytes at every layer: broken WebSocket frames from a peer in a room, bad upgrade requests, plain
// HTTP, garbage and the wrong protocol on either port. Bad frames close only their sender and reach nobody;
// bad handshakes never get as far as admission.
#include <gtest/gtest.h>

#include <cstdio>

#include "attack_util.hpp"

using namespace attack;

namespace {

// A candidate message of exactly `size` bytes.
std::string messageOfSize(std::size_t size) {
    const std::string head = R"({"type":"candidate","candidate":")";
    const std::string tail = R"("})";
    return head + std::string(size - head.size() - tail.size(), 'c') + tail;
}

std::string withFirstByte(std::string frame, uint8_t orBits) {
    frame[0] = static_cast<char>(static_cast<uint8_t>(frame[0]) | orBits);
    return frame;
}

std::string unmaskedFrame(uint8_t opcode, const std::string& payload) {
    std::string frame;
    frame.push_back(static_cast<char>(0x80 | opcode));
    frame.push_back(static_cast<char>(payload.size()));
    return frame + payload;
}

// A masked text frame header announcing 2^63 - 1 bytes, with no payload behind it.
std::string hugeLengthHeader() {
    std::string frame = "\x81\xFF";
    frame += "\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF";
    frame += "\x12\x34\x56\x78";
    return frame;
}

std::string pseudoRandomBytes(std::size_t n, uint32_t seed) {
    std::string bytes;
    for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        bytes.push_back(static_cast<char>(seed >> 24));
    }
    return bytes;
}

std::string upgradeRequest(const std::string& method, const std::string& version, const std::string& extra,
                           bool withKey = true) {
    return method + " / " + version + "\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
           (withKey ? "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" : "") + extra + "\r\n";
}

const std::string version13 = "Sec-WebSocket-Version: 13\r\n";

} // namespace

TEST(MalformedFrames, OversizedInvalidOrBrokenFramesCloseOnlyTheSenderAndRelayNothing) {
    ServerSettings settings;
    settings.maxMessageSize = 1024;
    rtc::WebSocketServerConfiguration extra;
    extra.connectionTimeout = 2s;
    extra.idleTimeout = 600ms;
    SignalServer server(settings, extra);
    const StateSizes before = server.sizes();

    struct Attack {
        const char* name;
        std::string bytes;
        int closeCode;
    };
    const std::string utf8Head = R"({"type":"candidate","candidate":")";
    const std::vector<Attack> attacks = {
        {"text frame one byte over the limit", clientFrame(0x1, messageOfSize(1025)), 1009},
        {"binary frame one byte over the limit", clientFrame(0x2, std::string(1025, 'b')), 1009},
        {"header announcing 2^63-1 bytes", hugeLengthHeader(), 1009},
        {"fragments adding up past the limit",
         clientFrame(0x1, utf8Head + std::string(400, 'a'), false) + clientFrame(0x0, std::string(400, 'b'), false) +
             clientFrame(0x0, std::string(400, 'c') + R"("})", true),
         1009},
        {"invalid UTF-8 in a text frame", clientFrame(0x1, utf8Head + "\xFF\xFE\"}"), 1007},
        {"UTF-16 surrogate encoded in UTF-8", clientFrame(0x1, utf8Head + "\xED\xA0\x80\"}"), 1007},
        {"overlong encoding split across fragments",
         clientFrame(0x1, utf8Head + "\xC0", false) + clientFrame(0x0, "\xAF\"}", true), 1007},
        {"text ending inside a UTF-8 character", clientFrame(0x1, utf8Head + "\"}\xE2\x82"), 1007},
        {"new text frame inside a fragmented message",
         clientFrame(0x1, "{", false) + clientFrame(0x1, R"({"type":"offer"})"), 1002},
        {"continuation with nothing to continue", clientFrame(0x0, R"({"type":"offer"})"), 1002},
        {"fragmented ping", clientFrame(0x9, "ping", false), 1002},
        {"ping payload over 125 bytes", clientFrame(0x9, std::string(126, 'p')), 1002},
        {"unmasked client frame", unmaskedFrame(0x1, R"({"type":"offer"})"), 1002},
        {"reserved opcode", clientFrame(0x3, "x"), 1002},
        {"RSV1 set without an extension", withFirstByte(clientFrame(0x1, R"({"type":"offer"})"), 0x40), 1002},
        {"close frame with a one-byte payload", clientFrame(0x8, "\x03"), 1002},
        {"close frame with reserved code 1005", clientFrame(0x8, "\x03\xED"), 1002},
    };

    for (std::size_t i = 0; i < attacks.size(); ++i) {
        const auto& attack = attacks[i];
        SCOPED_TRACE(attack.name);
        const std::string room = "frames-" + std::to_string(i);
        auto partner = joinedClient(server.port(), room, "partner");
        auto attacker = rawJoined(server.port(), room, "attacker");
        ASSERT_EQ(partner->receive(), peerJoinedText("attacker"));

        ASSERT_TRUE(attacker->sendAll(attack.bytes));
        EXPECT_EQ(readCloseCode(*attacker), attack.closeCode);
        EXPECT_TRUE(attacker->waitPeerClosed(3s));
        // After its close frame the server waits for the peer to drop the TCP connection: half the attackers
        // do, the other half keep it open and are ended by the keepalive.
        if (i % 2 == 0)
            attacker.reset();
        // Whatever the server had relayed would arrive ahead of this.
        EXPECT_EQ(partner->receive(), peerLeft);
        EXPECT_FALSE(partner->isClosed());
        partner->close();
        EXPECT_TRUE(server.waitForSizes(before)) << describe(server.sizes());
    }
    expectNothingLeaked(server, before);
}

TEST(MalformedFrames, FragmentsWithControlFramesBetweenAreReassembledAndRelayedWhole) {
    ServerSettings settings;
    settings.maxMessageSize = 1024;
    SignalServer server(settings);
    const StateSizes before = server.sizes();
    auto partner = joinedClient(server.port(), "frag", "partner");
    auto attacker = rawJoined(server.port(), "frag", "attacker");
    ASSERT_EQ(partner->receive(), peerJoinedText("attacker"));

    // Three fragments with a ping and an unsolicited pong between them: one message arrives, and the ping
    // is answered with its own payload.
    const std::string offer = R"({"sdp":"v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\n","type":"offer"})";
    ASSERT_TRUE(attacker->sendAll(clientFrame(0x1, offer.substr(0, 10), false) + clientFrame(0x9, "are-you-there") +
                                  clientFrame(0x0, offer.substr(10, 20), false) + clientFrame(0xA, "unasked") +
                                  clientFrame(0x0, offer.substr(30), true)));
    EXPECT_EQ(partner->receive(), offer);
    const auto pong = attacker->readFrame();
    ASSERT_TRUE(pong.has_value());
    EXPECT_EQ(pong->opcode, 0xA);
    EXPECT_EQ(pong->payload, "are-you-there");

    // Exactly at the limit: in one frame, and in four fragments with pings between and empty fragments around.
    const std::string atLimit = messageOfSize(1024);
    ASSERT_TRUE(attacker->sendAll(clientFrame(0x1, atLimit)));
    EXPECT_EQ(partner->receive(), atLimit);
    std::string pieces = clientFrame(0x1, "", false);
    for (int k = 0; k < 4; ++k)
        pieces += clientFrame(0x0, atLimit.substr(k * 256, 256), false) + clientFrame(0x9, "k");
    pieces += clientFrame(0x0, "", true);
    ASSERT_TRUE(attacker->sendAll(pieces));
    EXPECT_EQ(partner->receive(), atLimit);
    // Pings read together are answered once, for the latest.
    const auto answer = attacker->readFrame();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->opcode, 0xA);
    EXPECT_EQ(answer->payload, "k");

    // Frames that mean nothing are dropped without wedging the connection: binary, non-JSON, half a JSON value.
    ASSERT_TRUE(attacker->sendAll(clientFrame(0x2, "\x01\x02\x03") + clientFrame(0x1, "not json") +
                                  clientFrame(0x1, R"({"type":"offer")") + clientFrame(0x1, R"({"a":1} {"b":2})") +
                                  clientFrame(0x1, R"({"type":"answer","sdp":"x"})")));
    EXPECT_EQ(partner->receive(), R"({"type":"answer","sdp":"x"})");
    EXPECT_TRUE(partner->receivesNothing(200ms));

    // The raw peer still gets relayed frames, and a proper close ends it cleanly.
    partner->sendText(R"({"type":"candidate","candidate":"back"})");
    auto back = attacker->readFrame();
    while (back && back->opcode == 0xA) // pings that arrived in separate reads had pongs of their own
        back = attacker->readFrame();
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->payload, R"({"type":"candidate","candidate":"back"})");
    ASSERT_TRUE(attacker->sendAll(clientFrame(0x8, "\x03\xE8")));
    EXPECT_EQ(readCloseCode(*attacker), 1000);
    EXPECT_TRUE(attacker->waitPeerClosed(3s)); // the server drops the TCP connection first
    attacker.reset();
    EXPECT_EQ(partner->receive(), peerLeft);
    partner->close();
    expectNothingLeaked(server, before);
}

TEST(BadHandshakes, BadUpgradesPlainHttpAndGarbageAreTurnedAwayBeforeAdmission) {
    rtc::WebSocketServerConfiguration extra;
    extra.connectionTimeout = 5s; // every refusal below must come long before this
    ServerSettings settings;
    settings.webClient = false; // every plain request is a bad handshake here
    SignalServer server(settings, extra);
    auto admitted = countAdmissions(server);
    const StateSizes before = server.sizes();

    struct Attempt {
        const char* name;
        std::string bytes;
        std::string status; // expected start of the response; empty: anything but a 101, or nothing
    };
    const std::vector<Attempt> attempts = {
        {"missing Sec-WebSocket-Key", upgradeRequest("GET", "HTTP/1.1", version13, false), "HTTP/1.1 400"},
        {"over-long Sec-WebSocket-Key",
         upgradeRequest("GET", "HTTP/1.1", version13 + "Sec-WebSocket-Key: " + std::string(100, 'k') + "\r\n", false),
         "HTTP/1.1 400"},
        {"wrong Sec-WebSocket-Version", upgradeRequest("GET", "HTTP/1.1", "Sec-WebSocket-Version: 8\r\n"),
         "HTTP/1.1 426"},
        {"missing Sec-WebSocket-Version", upgradeRequest("GET", "HTTP/1.1", ""), "HTTP/1.1 400"},
        {"missing Host",
         "GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" + version13 +
             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
         "HTTP/1.1 400"},
        {"POST with upgrade headers", upgradeRequest("POST", "HTTP/1.1", version13 + "Content-Length: 0\r\n"),
         "HTTP/1.1 426"},
        {"HTTP/1.0 with upgrade headers", upgradeRequest("GET", "HTTP/1.0", version13), "HTTP/1.0 426"},
        {"plain HTTP GET", "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "HTTP/1.1 426"},
        {"Upgrade without Connection: Upgrade",
         "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n" + version13 +
             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
         "HTTP/1.1 426"},
        {"request head over 16 KiB",
         "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: " + std::string(17000, 'p') + "\r\n\r\n", "HTTP/1.1 431"},
        {"garbage bytes", pseudoRandomBytes(512, 7), ""},
        {"NUL bytes", std::string(64, '\0'), ""},
        {"TLS record on the plain port", "\x16\x03\x01\x00\x40" + pseudoRandomBytes(64, 9), ""},
    };

    for (const auto& attempt : attempts) {
        SCOPED_TRACE(attempt.name);
        RawSocket socket(server.port());
        const auto start = Clock::now();
        ASSERT_TRUE(socket.sendAll(attempt.bytes));
        const std::string head = socket.readUntil("\r\n\r\n", 3s);
        EXPECT_EQ(head.find("101 Switching"), std::string::npos) << head;
        if (!attempt.status.empty()) {
            EXPECT_EQ(head.rfind(attempt.status, 0), 0u) << head;
        }
        EXPECT_TRUE(socket.waitPeerClosed(3s));
        EXPECT_LT(millisSince(start), 2500) << "closed by the handshake limit, not by the refusal";
    }

    // A TLS client on the plain port fails its handshake.
    ClientOptions tls;
    tls.tls = true;
    tls.timeout = 3s;
    EXPECT_THROW(WsClient::connect(server.port(), tls), std::runtime_error);

    EXPECT_EQ(*admitted, 0);
    EXPECT_EQ(server.sizes(), before);
    expectNothingLeaked(server, before);
    EXPECT_EQ(*admitted, 2); // the fresh pair only
}

TEST(BadHandshakes, GarbageAndTheWrongProtocolOnTheTlsPortAreTurnedAwayBeforeAdmission) {
    auto extra = tlsConfig();
    extra.connectionTimeout = 5s;
    ServerSettings settings;
    settings.webClient = false; // every plain request is a bad handshake here
    SignalServer server(settings, extra);
    auto admitted = countAdmissions(server);
    const StateSizes before = server.sizes();

    const std::vector<std::pair<const char*, std::string>> garbage = {
        {"garbage bytes", pseudoRandomBytes(512, 3)},
        {"plain WebSocket upgrade", upgradeRequest("GET", "HTTP/1.1", version13)},
        {"TLS record header announcing an oversized record", std::string("\x16\x03\x01\xFF\xFF") + "\x01"},
        {"TLS alert record", std::string("\x15\x03\x03\x00\x02\x02\x28", 7)},
    };
    for (const auto& [name, bytes] : garbage) {
        SCOPED_TRACE(name);
        RawSocket socket(server.port());
        const auto start = Clock::now();
        ASSERT_TRUE(socket.sendAll(bytes));
        EXPECT_TRUE(socket.waitPeerClosed(3s));
        EXPECT_LT(millisSince(start), 2500);
    }

    {
        SCOPED_TRACE("garbage inside a completed TLS session");
        TlsPeer peer(server.port());
        ASSERT_TRUE(peer.handshakeDone());
        EXPECT_TRUE(peer.write(pseudoRandomBytes(300, 5)));
        EXPECT_EQ(peer.readUntil("\r\n\r\n").find("101"), std::string::npos);
        EXPECT_TRUE(peer.raw().waitPeerClosed(3s));
    }
    {
        SCOPED_TRACE("plain HTTP inside a completed TLS session");
        TlsPeer peer(server.port());
        ASSERT_TRUE(peer.handshakeDone());
        EXPECT_TRUE(peer.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        EXPECT_EQ(peer.readUntil("\r\n\r\n").rfind("HTTP/1.1 426", 0), 0u);
    }

    // A plain WebSocket client on the TLS port fails its upgrade.
    ClientOptions plain;
    plain.timeout = 3s;
    EXPECT_THROW(WsClient::connect(server.port(), plain), std::runtime_error);

    EXPECT_EQ(*admitted, 0);
    EXPECT_EQ(server.sizes(), before);
    ClientOptions tls;
    tls.tls = true;
    expectNothingLeaked(server, before, tls);
    EXPECT_EQ(*admitted, 2);
}
