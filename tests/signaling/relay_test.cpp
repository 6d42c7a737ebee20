// Relaying between the two members of a room, unchanged or with relay candidates stripped.
#include <gtest/gtest.h>

#include "support/signal_server.hpp"
#include "support/ws_client.hpp"

using namespace testing_support;

namespace {

struct Pair {
    std::unique_ptr<WsClient> a, b;
};

Pair pairUp(const SignalServer& server, const std::string& room = "room") {
    Pair p;
    p.a = WsClient::connect(server.port());
    p.a->sendText(R"({"type":"join","room":")" + room + R"(","nick":"a"})");
    EXPECT_EQ(p.a->receive(), R"({"peer":"","type":"joined"})");
    p.b = WsClient::connect(server.port());
    p.b->sendText(R"({"type":"join","room":")" + room + R"(","nick":"b"})");
    EXPECT_EQ(p.b->receive(), R"({"peer":"a","type":"joined"})");
    EXPECT_EQ(p.a->receive(), R"({"peer":"b","type":"peer-joined"})");
    return p;
}

ServerSettings noTurn() {
    ServerSettings s;
    s.allowTurn = false;
    return s;
}

} // namespace

TEST(Relay, WithTurnAllowedEveryValidJsonValueGoesThroughByteForByte) {
    SignalServer server;
    auto p = pairUp(server);
    const std::vector<std::string> frames = {
        R"({"type":"candidate","candidate":"candidate:1 1 udp 5 203.0.113.9 3478 typ relay raddr 0.0.0.0"})",
        R"({ "sdp" : "x\r\na=candidate:1 typ relay\r\n",  "type" : "offer" })",
        R"({"no":"type"})",
        R"([1, 2, 3])",
        R"("just a string")",
        R"({"type":"join","room":"elsewhere","nick":"z"})",
        R"({"type":"custom","x":{"y":[true,null,1.5e3]}})",
        "  {\"type\":\"candidate\",\"candidate\":\"\xC3\xA9\"}  "};
    for (const auto& f : frames) {
        p.a->sendText(f);
        EXPECT_EQ(p.b->receive(), f);
    }
    p.b->sendText(R"({"type":"answer","sdp":"v=0"})");
    EXPECT_EQ(p.a->receive(), R"({"type":"answer","sdp":"v=0"})");
    // The second join above was relayed, not acted on.
    EXPECT_EQ(server.sizes().rooms, 1u);
}

TEST(Relay, InvalidFramesAreNeverForwarded) {
    SignalServer server;
    auto p = pairUp(server);
    p.a->sendText("{\"type\":\"offer\"");
    p.a->sendText("{\"a\":1} // comment");
    p.a->sendText("");
    p.a->sendBinary(R"({"type":"offer"})");
    EXPECT_TRUE(p.b->receivesNothing());
    p.a->sendText(R"({"type":"ping"})");
    EXPECT_EQ(p.b->receive(), R"({"type":"ping"})");
}

TEST(Relay, FramesSentWhileAloneAreLost) {
    SignalServer server;
    auto a = WsClient::connect(server.port());
    a->sendText(R"({"type":"join","room":"r","nick":"a"})");
    EXPECT_EQ(a->receive(), R"({"peer":"","type":"joined"})");
    a->sendText(R"({"type":"offer","sdp":"early"})");
    // b must join only once the offer has been handled, or it would rightly receive it.
    ASSERT_TRUE(waitUntil([&] { return murva::read(server.server().state().counters().droppedNoPeer) == 1; }));
    auto b = WsClient::connect(server.port());
    b->sendText(R"({"type":"join","room":"r","nick":"b"})");
    EXPECT_EQ(b->receive(), R"({"peer":"a","type":"joined"})");
    EXPECT_TRUE(b->receivesNothing());
    EXPECT_EQ(a->receive(), R"({"peer":"b","type":"peer-joined"})");
}

TEST(Relay, WithoutTurnRelayCandidatesAreDroppedAndOthersPassUnchanged) {
    SignalServer server(noTurn());
    auto p = pairUp(server);
    p.a->sendText(R"({"type":"candidate","candidate":"candidate:9 1 udp 5 203.0.113.9 3478 typ relay raddr 1.2.3.4"})");
    p.a->sendText(R"({"candidate":"a typ relayed thing","type":"candidate"})");
    EXPECT_TRUE(p.b->receivesNothing());
    const std::vector<std::string> kept = {
        R"({ "candidate" : "candidate:1 1 UDP 2114977791 127.0.0.1 52610 typ host", "type":"candidate", "sdpMid":"0" })",
        R"({"type":"candidate","candidate":"candidate:2 1 udp 1 198.51.100.1 9 typ srflx"})",
        R"({"type":"candidate","candidate":"candidate:3 1 udp 1 198.51.100.1 9 TYP RELAY"})",
        R"({"type":"candidate","candidate":"candidate:4 1 udp 1 198.51.100.1 9 typ  relay"})",
        R"({"type":"candidate"})",
        R"({"type":"bye","note":"typ relay"})",
        R"({"no":"type","candidate":"typ relay"})"};
    for (const auto& f : kept) {
        p.a->sendText(f);
        EXPECT_EQ(p.b->receive(), f);
    }
}

TEST(Relay, WithoutTurnOffersAndAnswersLoseExactlyTheRelayLinesAndAreReserialised) {
    SignalServer server(noTurn());
    auto p = pairUp(server);
    p.a->sendText("{ \"type\" : \"offer\", \"sdp\" : \"v=0\\r\\na=candidate:1 1 udp 9 10.0.0.1 5 typ host\\r\\n"
                  "a=candidate:2 1 udp 1 203.0.113.9 6 typ relay raddr 0.0.0.0 rport 0\\r\\na=end\\r\\n"
                  "x typ relay without newline\", \"extra\" : [1, {\"z\": \"\\u00e9\"}] }");
    EXPECT_EQ(p.b->receive(), "{\"extra\":[1,{\"z\":\"\xC3\xA9\"}],\"sdp\":\"v=0\\r\\na=candidate:1 1 udp 9 10.0.0.1 5 "
                              "typ host\\r\\na=end\\r\\n\",\"type\":\"offer\"}");
    p.b->sendText(R"({"type":"answer"})");
    EXPECT_EQ(p.a->receive(), R"({"sdp":"","type":"answer"})");
    p.b->sendText(R"({"type":"answer","sdp":"v=0\nTYP RELAY\n"})");
    EXPECT_EQ(p.a->receive(), R"({"sdp":"v=0\nTYP RELAY\n","type":"answer"})");
}

TEST(Relay, WithoutTurnMalformedFramesAreDroppedAndTheConnectionKeepsWorking) {
    SignalServer server(noTurn());
    auto p = pairUp(server);
    for (const char* frame : {R"([1])", R"("s")", R"(3)", R"({"type":1})", R"({"type":"candidate","candidate":5})",
                              R"({"type":"offer","sdp":["v=0"]})", R"({"type":"answer","sdp":null})"})
        p.a->sendText(frame);
    // Nesting deeper than any session description is dropped rather than re-serialised.
    std::string deep = R"({"type":"offer","sdp":"v=0","x":)";
    for (int i = 0; i < 5000; ++i)
        deep += "[";
    for (int i = 0; i < 5000; ++i)
        deep += "]";
    deep += "}";
    p.a->sendText(deep);
    EXPECT_TRUE(p.b->receivesNothing());
    p.a->sendText(R"({"type":"offer","sdp":"ok","x":[[[1]]]})");
    EXPECT_EQ(p.b->receive(), R"({"sdp":"ok","type":"offer","x":[[[1]]]})");
    EXPECT_EQ(server.sizes(), (StateSizes{2, 1, 1}));
}
