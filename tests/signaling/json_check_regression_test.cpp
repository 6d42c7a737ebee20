// Found by fuzzing the validating pass against the JSON library. The library takes a NUL byte after a
// complete value for the end of the text and ignores what follows; the pass refused such a text, so a
// frame sent with a C string's terminator was relayed with allow_turn false but dropped with it true.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "signaling/json_check.hpp"
#include "support/signal_server.hpp"
#include "support/ws_client.hpp"

using namespace murva;

using namespace std::string_literals;
using namespace testing_support;

TEST(JsonCheckRegression, NulEndsTheTextOnlyWhereTheParserAcceptsTheEnd) {
    for (const std::string& text :
         {"6\0"s, "6\0x"s, "[1]\0garbage"s, "{\"a\":1} \0{"s, "6\0 \0"s, "\xEF\xBB\xBF{}\0"s, "\"s\"\0\""s}) {
        EXPECT_TRUE(nlohmann::json::accept(text)) << text.size();
        EXPECT_TRUE(isValidJson(text)) << text.size();
    }
    // Inside a value, or before one, a NUL is an error for both.
    for (const std::string& text : {"\0"s, " \0 6"s, "[1,\0]"s, "[1\0]"s, "tru\0e"s, "\"a\0\""s, "-\0"s, "1.\0"s,
                                    "1e\0"s, "{\"a\"\0:1}"s, "\xEF\xBB\0"s}) {
        EXPECT_FALSE(nlohmann::json::accept(text)) << text.size();
        EXPECT_FALSE(isValidJson(text)) << text.size();
    }
}

TEST(JsonCheckRegression, FrameEndingInNulIsRelayedWhetherOrNotTurnIsAllowed) {
    const std::string frame = R"({"type":"candidate","candidate":"candidate:1 1 udp 1 10.0.0.1 9 typ host"})"s + '\0';
    for (const bool allowTurn : {true, false}) {
        ServerSettings settings;
        settings.allowTurn = allowTurn;
        SignalServer server(settings);
        auto a = WsClient::connect(server.port());
        auto b = WsClient::connect(server.port());
        a->sendText(R"({"type":"join","room":"nul","nick":"a"})");
        ASSERT_EQ(a->receive(), R"({"peer":"","type":"joined"})");
        b->sendText(R"({"type":"join","room":"nul","nick":"b"})");
        ASSERT_EQ(b->receive(), R"({"peer":"a","type":"joined"})");
        ASSERT_EQ(a->receive(), R"({"peer":"b","type":"peer-joined"})");

        a->sendText(frame);
        EXPECT_EQ(b->receive(), frame) << "allow_turn " << allowTurn;
        // What follows the NUL is not looked at, but a frame broken before it still is not relayed.
        a->sendText("{\"type\":\"candidate\"\0}"s);
        EXPECT_TRUE(b->receivesNothing()) << "allow_turn " << allowTurn;
    }
}
