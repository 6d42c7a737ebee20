// Joining a room: room codes, nicks, the password gate, the room limit and input that must change nothing.
#include <gtest/gtest.h>

#include "support/signal_server.hpp"
#include "support/ws_client.hpp"

using namespace testing_support;

namespace {

std::string joinFrame(const std::string& room, const std::string& nick) {
    return R"({"type":"join","room":")" + room + R"(","nick":")" + nick + R"("})";
}

std::unique_ptr<WsClient> joined(const SignalServer& server, const std::string& room, const std::string& nick,
                                 const std::string& expectedReply) {
    auto client = WsClient::connect(server.port());
    client->sendText(joinFrame(room, nick));
    EXPECT_EQ(client->receive(), expectedReply);
    return client;
}

} // namespace

TEST(Join, RoomCodeLengthCountsDecodedBytes) {
    SignalServer server;
    auto c = WsClient::connect(server.port());
    c->sendText(joinFrame(std::string(129, 'x'), "n"));
    EXPECT_EQ(c->receive(), R"({"reason":"Room code too long.","type":"error"})");
    // 43 three-byte characters are 129 bytes although only 43 characters.
    std::string wide;
    for (int i = 0; i < 43; ++i)
        wide += "\xE2\x82\xAC";
    c->sendText(joinFrame(wide, "n"));
    EXPECT_EQ(c->receive(), R"({"reason":"Room code too long.","type":"error"})");
    // An escape counts as the bytes it stands for: 127 'x' plus one escaped 'y' is 128 bytes, accepted.
    c->sendText(joinFrame(std::string(127, 'x') + "\\u0079", "n"));
    EXPECT_EQ(c->receive(), R"({"peer":"","type":"joined"})");
    EXPECT_TRUE(server.waitForSizes({1, 1, 1}));
}

TEST(Join, EmptyRoomAndNonJoinFramesGetNoAnswerAndTheClientCanStillJoin) {
    SignalServer server;
    auto c = WsClient::connect(server.port());
    c->sendText(joinFrame("", "n"));
    c->sendText(R"({"type":"offer","sdp":"v=0"})");
    c->sendText(R"({"room":"r"})");
    c->sendText(R"({"type":"JOIN","room":"r"})");
    c->sendBinary(joinFrame("r", "n"));
    c->sendText(R"({"type":"join","room":"r"} // comment)");
    c->sendText(R"({"type":"join",/* c */"room":"r"})");
    c->sendText(R"({"type":"join","room":"r"} x)");
    c->sendText("not json");
    EXPECT_TRUE(c->receivesNothing());
    EXPECT_EQ(server.sizes().rooms, 0u);
    EXPECT_TRUE(server.consoleLines().empty());
    c->sendText(joinFrame("r", "n"));
    EXPECT_EQ(c->receive(), R"({"peer":"","type":"joined"})");
}

TEST(Join, RoomCodesAreCaseSensitiveAndThirdJoinerIsFullButStaysConnected) {
    SignalServer server;
    auto a = joined(server, "Room", "a", R"({"peer":"","type":"joined"})");
    auto b = joined(server, "room", "b", R"({"peer":"","type":"joined"})");
    auto c = joined(server, "Room", "c", R"({"peer":"a","type":"joined"})");
    EXPECT_EQ(a->receive(), R"({"peer":"c","type":"peer-joined"})");
    auto d = joined(server, "Room", "d", R"({"type":"full"})");
    EXPECT_FALSE(d->waitClosed(300ms));
    // The refused client may join elsewhere on the same connection.
    d->sendText(joinFrame("room", "d"));
    EXPECT_EQ(d->receive(), R"({"peer":"b","type":"joined"})");
    EXPECT_EQ(b->receive(), R"({"peer":"d","type":"peer-joined"})");
    EXPECT_EQ(server.sizes(), (StateSizes{4, 2, 1}));
}

TEST(Join, NicksAreCutAt64BytesWithoutSplittingACharacterAndSentAsRawUtf8) {
    SignalServer server;
    const std::string nick65(65, 'n');
    auto a = joined(server, "r1", nick65, R"({"peer":"","type":"joined"})");
    auto b = joined(server, "r1", "", R"({"peer":")" + std::string(64, 'n') + R"(","type":"joined"})");
    EXPECT_EQ(a->receive(), R"({"peer":"","type":"peer-joined"})");

    // 63 ASCII bytes and a two-byte letter: the cut at 64 would split the letter, so it goes whole.
    const std::string split = std::string(63, 'x') + "\xC3\xA9";
    auto c = joined(server, "r2", split, R"({"peer":"","type":"joined"})");
    auto d = WsClient::connect(server.port());
    d->sendText(R"({"type":"join","room":"r2"})"); // no nick at all
    EXPECT_EQ(d->receive(), R"({"peer":")" + std::string(63, 'x') + R"(","type":"joined"})");
    EXPECT_EQ(c->receive(), R"({"peer":"","type":"peer-joined"})");

    // Non-ASCII goes out as UTF-8 bytes, quotes and backslashes escaped, \u escapes decoded.
    auto e = joined(server, "r3", "Zo\xC3\xAB \\\"q\\\" \\\\ \\u00e9", R"({"peer":"","type":"joined"})");
    auto f = joined(server, "r3", "f", "{\"peer\":\"Zo\xC3\xAB \\\"q\\\" \\\\ \xC3\xA9\",\"type\":\"joined\"}");
    EXPECT_EQ(e->receive(), R"({"peer":"f","type":"peer-joined"})");
}

TEST(Join, MalformedJoinInputChangesNothing) {
    SignalServer server;
    auto c = WsClient::connect(server.port());
    for (const char* frame :
         {R"([1,2])", R"("join")", R"(42)", R"(null)", R"({"type":7,"room":"r"})", R"({"type":"join","room":5})",
          R"({"type":"join","room":["r"]})", R"({"type":"join","room":"r","nick":12})",
          R"({"type":"join","room":"r","nick":null})", R"({"type":"join","room":"r","nick":{"a":1}})"})
        c->sendText(frame);
    EXPECT_TRUE(c->receivesNothing());
    EXPECT_EQ(server.sizes(), (StateSizes{1, 0, 1}));
    EXPECT_TRUE(server.consoleLines().empty());
    // Still usable afterwards.
    c->sendText(joinFrame("r", "ok"));
    EXPECT_EQ(c->receive(), R"({"peer":"","type":"joined"})");
}

TEST(Join, RoomLimitRefusesOnlyNewRoomsAndIsFreedWhenTheRoomEmpties) {
    ServerSettings settings;
    settings.maxRooms = 1;
    SignalServer server(settings);
    auto a = joined(server, "one", "a", R"({"peer":"","type":"joined"})");
    auto x = joined(server, "two", "x", R"({"reason":"Server is at capacity, try later.","type":"error"})");
    EXPECT_FALSE(x->waitClosed(200ms));
    auto b = joined(server, "one", "b", R"({"peer":"a","type":"joined"})");
    a->close();
    b->close();
    EXPECT_TRUE(server.waitForSizes({1, 0, 1}));
    x->sendText(joinFrame("two", "x"));
    EXPECT_EQ(x->receive(), R"({"peer":"","type":"joined"})");
}

TEST(Join, ZeroRoomLimitMeansNoLimit) {
    ServerSettings settings;
    settings.maxRooms = 0;
    SignalServer server(settings);
    for (int i = 0; i < 50; ++i) {
        auto client = WsClient::connect(server.port());
        client->sendText(joinFrame("room" + std::to_string(i), "n"));
        ASSERT_EQ(client->receive(), R"({"peer":"","type":"joined"})");
    }
}

TEST(Join, PasswordGate) {
    ServerSettings settings;
    settings.password = "s3cret";
    SignalServer server(settings);

    for (const char* frame :
         {R"({"type":"join","room":"r"})", R"({"type":"join","room":"r","password":"s3cre"})",
          R"({"type":"join","room":"r","password":"s3cret "})", R"({"type":"join","room":"r","password":"S3CRET"})"}) {
        auto c = WsClient::connect(server.port());
        c->sendText(frame);
        EXPECT_EQ(c->receive(), R"({"type":"unauthorized"})") << frame;
        EXPECT_EQ(c->waitClosed(), 1000) << frame;
    }
    // A password of another JSON type is malformed input: dropped, connection kept.
    auto odd = WsClient::connect(server.port());
    odd->sendText(R"({"type":"join","room":"r","password":123})");
    EXPECT_TRUE(odd->receivesNothing());
    EXPECT_FALSE(odd->isClosed());
    // Frames other than join are not gated (and do nothing outside a room).
    odd->sendText(R"({"type":"offer","password":"nope"})");
    EXPECT_TRUE(odd->receivesNothing());

    auto ok = WsClient::connect(server.port());
    ok->sendText(R"({"type":"join","room":"r","nick":"n","password":"s3cret"})");
    EXPECT_EQ(ok->receive(), R"({"peer":"","type":"joined"})");
    EXPECT_TRUE(server.waitForSizes({2, 1, 1}));
    // Each wrong password is logged with the reason and the address; the malformed one is not a refusal.
    const std::string refused = "[!] refused unauthorized from 127.0.0.1";
    EXPECT_EQ(server.consoleLines(),
              (std::vector<std::string>{refused, refused, refused, refused, "[+] join (rooms=1, clients=2)"}));
}

TEST(Join, OpenServerNeverLooksAtThePassword) {
    SignalServer server;
    auto c = WsClient::connect(server.port());
    c->sendText(R"({"type":"join","room":"r","password":{"not":"a string"}})");
    EXPECT_EQ(c->receive(), R"({"peer":"","type":"joined"})");
}
