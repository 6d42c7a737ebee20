// The PROXY protocol through the real server: v1 and v2 headers, whole, in pieces or sharing a packet with the
// request, give remoteAddress the client they name (LOCAL and UNKNOWN: the socket's peer), with and without TLS;
// missing, broken, late and untrusted headers close the connection.
#include <gtest/gtest.h>

#include <thread>

#include "support/raw_socket.hpp"
#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

namespace {

std::string v2(int command, int family, const std::string& payload) {
    return std::string("\r\n\r\n\0\r\nQUIT\n", 12) + char(command) + char(family) + '\0' + char(payload.size()) +
           payload;
}

const std::string upgradeRequest = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

rtc::WebSocketServerConfiguration proxyConfig(bool tls = false) {
    auto config = loopbackConfig();
    config.proxyProtocol = true;
    config.trustedProxy = [](const std::string& ip) { return ip == "127.0.0.1"; };
    config.enableTls = tls;
    config.certificatePemFile = std::string(MURVA_TEST_DATA) + "/cert.pem";
    config.keyPemFile = std::string(MURVA_TEST_DATA) + "/key.pem";
    return config;
}

// Header bytes and the address they give; "" means the socket's own peer.
const std::vector<std::pair<std::string, std::string>> headers = {
    {"PROXY TCP4 192.0.2.1 192.0.2.2 40000 443\r\n", "192.0.2.1:40000"},
    {"PROXY TCP6 2001:db8::7 2001:db8::8 40001 443\r\n", "[2001:db8::7]:40001"},
    {"PROXY TCP6 ::ffff:192.0.2.3 ::1 40002 443\r\n", "192.0.2.3:40002"},
    {"PROXY UNKNOWN\r\n", ""},
    {v2(0x21, 0x11, std::string("\xC6\x33\x64\x04\x7F\0\0\x01\x9C\x43\x01\xBB", 12)), "198.51.100.4:40003"},
    {v2(0x21, 0x21,
        std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x09" + std::string(15, '\0') +
            "\x01\x9C\x44\x01\xBB" + std::string("\x04\0\x01\0", 4)), // and a TLV
     "[2001:db8::9]:40004"},
    {v2(0x20, 0x00, ""), ""},
};

ClientOptions sending(const std::string& preamble, bool tls = false, const std::string& source = "") {
    ClientOptions options;
    options.preamble = preamble;
    options.tls = tls;
    options.sourceAddress = source;
    options.timeout = 2s;
    return options;
}

std::string expected(const std::string& address, uint16_t localPort) {
    return address.empty() ? "127.0.0.1:" + std::to_string(localPort) : address;
}

} // namespace

TEST(Proxy, HeadersNameTheClientHoweverTheyArrive) {
    auto&& [recorder, server] = RecordingServer(proxyConfig());
    std::size_t index = 0;
    for (const auto& [bytes, address] : headers) {
        SCOPED_TRACE(bytes);
        auto client = WsClient::connect(server.port(), sending(bytes));
        ASSERT_TRUE(recorder.waitClients(index + 1)); // so the recorder's order is the connections' order
        RawSocket pieces(server.port());
        for (std::size_t at = 0, piece = 1; at < bytes.size(); at += piece, piece = piece % 3 + 1) {
            ASSERT_TRUE(pieces.sendAll(bytes.substr(at, piece)));
            std::this_thread::sleep_for(2ms);
        }
        ASSERT_TRUE(pieces.upgrade());
        ASSERT_TRUE(recorder.waitClients(index + 2));
        RawSocket together(server.port());
        ASSERT_TRUE(together.sendAll(bytes + upgradeRequest));
        EXPECT_EQ(together.readUntil("\r\n\r\n", 3s).rfind("HTTP/1.1 101", 0), 0u);
        ASSERT_TRUE(together.sendAll(clientFrame(0x1, "intact")));
        ASSERT_TRUE(recorder.waitClients(index + 3));
        ASSERT_TRUE(recorder.waitMessages(index + 2, 1));
        EXPECT_EQ(recorder.payloads(index + 2), std::vector<std::string>{"intact"}); // nothing lost or repeated
        EXPECT_EQ(recorder.log(index).remoteAddress, expected(address, client->localPort()));
        EXPECT_EQ(recorder.log(index + 1).remoteAddress, expected(address, pieces.localPort()));
        EXPECT_EQ(recorder.log(index + 2).remoteAddress, expected(address, together.localPort()));
        index += 3;
    }
}

TEST(Proxy, HeadersComeBeforeTls) {
    auto&& [recorder, server] = RecordingServer(proxyConfig(true));
    std::size_t index = 0;
    for (const auto& [bytes, address] : headers) {
        SCOPED_TRACE(bytes);
        auto client = WsClient::connect(server.port(), sending(bytes, true));
        ASSERT_TRUE(recorder.waitClients(++index));
        EXPECT_EQ(recorder.log(index - 1).remoteAddress, expected(address, client->localPort()));
        client->sendText("over tls");
        ASSERT_TRUE(recorder.waitMessages(index - 1, 1));
    }
    EXPECT_THROW(WsClient::connect(server.port(), sending("", true)), std::runtime_error);
}

TEST(Proxy, MissingBrokenLateAndUntrustedHeadersCloseTheConnection) {
    auto&& [recorder, server] = RecordingServer(proxyConfig()); // 300 ms for header, TLS and upgrade

    using R = rtc::TransportCounters::Refused;
    const std::vector<std::tuple<const char*, std::string, bool, uint64_t R::*>> cases = {
        // name, bytes, then shut our side, counted as
        {"no header", upgradeRequest, false, &R::proxyMissing},
        {"TLS instead", "\x16\x03\x01\x00\x40" + std::string(64, 'x'), false, &R::proxyMissing},
        {"garbage v1", "PROXY TCP4 not-an-address 192.0.2.2 1 2\r\n" + upgradeRequest, false, &R::proxyBad},
        {"endless v1", "PROXY TCP4 " + std::string(200, '1'), false, &R::proxyBad},
        {"v2 version 1", v2(0x11, 0x11, std::string(12, '\1')), false, &R::proxyBad},
        {"half, then the end", "PROXY TCP4 192.0.2.1 ", true, &R::proxyBad},
        {"half, then nothing", "PROXY TCP4 192.0.2.1 ", false, &R::handshakeTimeout},
        {"silence", "", false, &R::handshakeTimeout},
    };
    for (const auto& [name, bytes, shut, counter] : cases) {
        SCOPED_TRACE(name);
        const auto before = server.counters().refused.*counter;
        const auto start = std::chrono::steady_clock::now();
        RawSocket socket(server.port());
        ASSERT_TRUE(socket.sendAll(bytes));
        if (shut)
            socket.shutdownWrite();
        EXPECT_EQ(socket.readUntil("\r\n\r\n", 2s), ""); // closed without an answer
        EXPECT_TRUE(socket.waitPeerClosed(2s));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
        EXPECT_TRUE(waitUntil([&, counter = counter] { return server.counters().refused.*counter == before + 1; }));
    }
    EXPECT_THROW(WsClient::connect(server.port(), sending(headers[0].first, false, "127.0.0.5")), std::runtime_error);
    EXPECT_TRUE(waitUntil([&] { return server.counters().refused.proxyUntrusted == 1; }));
    EXPECT_EQ(recorder.clientCount(), 0u);

    auto nobodyTrusted = proxyConfig();
    nobodyTrusted.trustedProxy = nullptr;
    EXPECT_THROW(rtc::WebSocketServer{nobodyTrusted}, std::invalid_argument);
}
