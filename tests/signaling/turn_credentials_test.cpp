// TURN credentials in "joined": what a TURN server with the same secret would accept, their expiry and their ids.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "signaling/protocol.hpp"
#include "signaling/turn_credentials.hpp"
#include "support/process.hpp"
#include "support/signal_server.hpp"
#include "support/ws_client.hpp"

using namespace testing_support;
using nlohmann::json;

namespace {

int64_t unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// base64(HMAC-SHA1(secret, username)) as the openssl command line computes it, independently of our code.
std::string opensslTurnPassword(const std::string& secret, const std::string& username) {
    ProcessOptions options;
    options.args = {"-c", R"(printf %s "$1" | openssl dgst -sha1 -hmac "$2" -binary | openssl base64 -A)", "sh",
                    username, secret};
    ChildProcess openssl("/bin/sh", options);
    EXPECT_EQ(openssl.waitExit(), 0) << openssl.stderrText();
    return openssl.stdoutText();
}

murva::TurnSettings turnSettings() {
    murva::TurnSettings turn;
    turn.urls = {"turn:127.0.0.1:3478?transport=udp", "turns:turn.example.org:5349"};
    turn.secret = "rotate me: 2024 \xc3\xa4";
    turn.ttlSeconds = 600;
    return turn;
}

} // namespace

TEST(TurnCredentials, EveryJoinedCarriesItsOwnCredentialThatTheSecretVerifies) {
    ServerSettings settings;
    settings.turn = turnSettings();
    SignalServer server(settings);

    std::vector<std::unique_ptr<WsClient>> clients;
    std::vector<std::string> ids;
    for (const char* nick : {"ann", "ben", "cy"}) { // ann and ben share a room; cy is alone in another
        const auto before = unixNow();
        clients.push_back(WsClient::connect(server.port()));
        clients.back()->sendText(
            json{{"type", "join"}, {"room", nick == std::string("cy") ? "r2" : "r1"}, {"nick", nick}}.dump());
        const auto text = clients.back()->receive().value_or("");
        const auto after = unixNow();

        const json reply = json::parse(text);
        EXPECT_EQ(text, murva::dumpCompact(reply)); // sorted and compact like every other reply
        EXPECT_EQ(reply["type"], "joined");
        ASSERT_EQ(reply["iceServers"].size(), 1u) << text;
        const json& server0 = reply["iceServers"][0];
        EXPECT_EQ(server0.size(), 3u) << text;
        EXPECT_EQ(server0["urls"], json(settings.turn->urls));

        const std::string username = server0["username"];
        const auto colon = username.find(':');
        ASSERT_NE(colon, std::string::npos) << username;
        const auto expiry = std::stoll(username.substr(0, colon));
        EXPECT_GE(expiry, before + 600);
        EXPECT_LE(expiry, after + 600);
        ids.push_back(username.substr(colon + 1));
        EXPECT_GE(ids.back().size(), 16u) << username; // at least 64 bits of randomness in hex or base64
        EXPECT_EQ(ids.back().find(nick), std::string::npos);

        EXPECT_EQ(server0["credential"], opensslTurnPassword(settings.turn->secret, username)) << username;
    }
    EXPECT_EQ(clients[0]->receive(), R"({"peer":"ben","type":"peer-joined"})"); // the peer's message is unchanged
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_NE(ids[1], ids[2]);
    EXPECT_NE(ids[0], ids[2]);
}

TEST(TurnCredentials, ExpiryFollowsTheClockAndMissingRandomnessIssuesNothing) {
    auto settings = turnSettings();
    settings.ttlSeconds = 3600;
    int64_t now = 1'700'000'000;
    bool randomWorks = true;
    const murva::TurnCredentials credentials(
        settings, [&] { return now; },
        [&](unsigned char* out, std::size_t size) {
            std::fill(out, out + size, 0x5a);
            return randomWorks;
        });

    for (const int64_t at : {int64_t{1'700'000'000}, int64_t{4'102'444'800}}) { // 2023, and past 2038
        now = at;
        const std::string username = credentials.iceServers()[0]["username"];
        EXPECT_EQ(username.substr(0, username.find(':')), std::to_string(at + 3600));
    }
    randomWorks = false;
    EXPECT_THROW(credentials.iceServers(), std::runtime_error);
}
