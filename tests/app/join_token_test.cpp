// Join tokens through the binary, minted by an independent implementation: each algorithm accepted, the known
// attacks refused and counted by reason, nothing secret in the log, key sets rotated by SIGHUP, and what a token
// grants (its nick, a membership's end).
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <map>

#include "app_test_util.hpp"

using namespace app_test;
using nlohmann::json;

namespace {

const std::string issuer = "https://app.example";
const std::string audience = "murva";
const std::string joinedAlone = R"({"peer":"","type":"joined"})";
const std::string unauthorized = R"({"type":"unauthorized"})";

// A server whose configuration sits in conf/ beside its key set, started from the directory above: the
// "keys" path is the configuration file's, not the working directory's.
struct TokenServer {
    TempDir dir;
    Started started;
    uint16_t admin = freeLoopbackPort();

    TokenServer(const json& minted, const std::string& keys, const std::string& members = "",
                const std::string& require = "true", std::map<std::string, std::string> env = {}) {
        if (env.empty())
            env = {{"MURVA_SIGNAL_AUTH_SECRET", minted.value("secret", "")}};
        std::filesystem::create_directories(dir.file("conf"));
        dir.write("conf/keys.json", keys);
        started = startOnFreePort(
            dir.path(),
            [&](uint16_t port) {
                const std::string auth = R"("auth": {"issuer": ")" + issuer + R"(", "audience": ")" + audience +
                                         R"(", "keys": "keys.json", "require": )" + require + "}";
                dir.write("conf/murva-signal.json", configText(port, members + (members.empty() ? "" : ", ") +
                                                                         R"("log_level": "debug", "admin": {"port": )" +
                                                                         std::to_string(admin) + "}, " + auth));
                return std::vector<std::string>{"conf/murva-signal.json"};
            },
            7, env);
    }
    ChildProcess& child() { return *started.child; }

    std::string join(const std::string& room, const std::string& token) {
        auto client = WsClient::connect(started.port);
        client->sendText(tokenJoin(room, token));
        return client->receive().value_or("");
    }
};

} // namespace

TEST(JoinTokens, EachAlgorithmIsAcceptedAndEachAttackRefusedAndCountedWithNothingSecretLogged) {
    const json minted = mintTokens(issuer, audience);
    ASSERT_TRUE(minted.contains("cases"));

    // Key sets that would weaken every check are refused at start, with the reason.
    for (const auto& [name, keys] : minted["badKeys"].items()) {
        TokenServer bad(minted, keys.dump());
        EXPECT_EQ(bad.child().waitExit(), 1) << name;
        EXPECT_NE(bad.child().stderrText().find(name == "private" ? "private" : "2048"), std::string::npos)
            << bad.child().stderrText();
    }

    TokenServer server(minted, minted["keys"].dump(),
                       R"("max_message_size": 2097152, "max_password_failures_per_ip": 0)");
    ASSERT_EQ(server.child().waitExit(0ms), std::nullopt) << server.child().stderrText();
    std::map<std::string, int> refusals;
    for (const auto& c : minted["cases"]) {
        const bool accepted = !c.contains("reason");
        EXPECT_EQ(server.join(c["room"], c["token"]), accepted ? joinedAlone : unauthorized) << c["name"];
        if (!accepted)
            ++refusals[c["reason"]];
    }
    EXPECT_EQ(joinReply(server.started.port), unauthorized) << "a join without a token";

    int refused = 1;
    for (const auto& [reason, count] : refusals) {
        EXPECT_EQ(metricValue(server.admin, "murva_token_failures_total{reason=\"" + reason + "\"}"), count) << reason;
        refused += count;
    }
    EXPECT_EQ(metricValue(server.admin, "murva_joins_total{result=\"unauthorized\"}"), refused);
    EXPECT_EQ(metricValue(server.admin, "murva_auth_keys"), minted["keys"]["keys"].size() + 1);

    // The reasons reach the log at debug; no token, secret or private key does.
    ASSERT_TRUE(waitUntil([&] { return server.child().stderrText().find(": unknown_key") != std::string::npos; }));
    const std::string log = server.child().stdoutText() + server.child().stderrText();
    for (const auto& c : minted["cases"]) {
        const std::string token = c["token"];
        const std::string signature = token.substr(token.rfind('.') + 1);
        if (signature.size() > 16) {
            EXPECT_EQ(log.find(signature), std::string::npos) << c["name"];
        }
        EXPECT_EQ(log.find(token.substr(0, token.find('.'))), std::string::npos) << c["name"];
    }
    EXPECT_EQ(log.find(minted["secret"].get<std::string>()), std::string::npos);
    for (const auto& part : minted["privateParts"])
        EXPECT_EQ(log.find(part.get<std::string>()), std::string::npos);
}

TEST(JoinTokens, ASighupRotatesTheKeySetWithoutTouchingOpenRooms) {
    const json minted = mintTokens(issuer, audience);
    ASSERT_TRUE(minted.contains("tokens"));
    TokenServer server(minted, minted["keys"].dump(), R"("max_password_failures_per_ip": 0)");
    ASSERT_EQ(server.child().waitExit(0ms), std::nullopt) << server.child().stderrText();
    const auto& tokens = minted["tokens"];

    auto first = WsClient::connect(server.started.port);
    first->sendText(tokenJoin("rot", tokens["old"], "first"));
    ASSERT_EQ(first->receive(), joinedAlone);
    EXPECT_EQ(server.join("rot-x", tokens["next"]), unauthorized) << "not yet trusted";

    server.dir.write("conf/keys.json", minted["nextKeys"].dump());
    kill(server.child().pid(), SIGHUP);
    ASSERT_TRUE(server.child().waitForStdout("auth keys read again")) << server.child().stderrText();
    EXPECT_EQ(server.join("rot-y", tokens["old"]), unauthorized) << "the removed key's token";
    auto second = WsClient::connect(server.started.port);
    second->sendText(tokenJoin("rot", tokens["next"], "second"));
    EXPECT_EQ(second->receive(), R"({"peer":"first","type":"joined"})") << "the open member is still in its room";
    EXPECT_EQ(first->receive(), R"({"peer":"second","type":"peer-joined"})");

    // A key set that cannot be used keeps the one in force.
    server.dir.write("conf/keys.json", R"({"keys": [{"kty": "EC", "kid": "x"}]})");
    kill(server.child().pid(), SIGHUP);
    ASSERT_TRUE(
        waitUntil([&] { return server.child().stderrText().find("failed, nothing changed") != std::string::npos; }));
    EXPECT_EQ(metricValue(server.admin, "murva_config_reloads_total{result=\"failed\"}"), 1);
    EXPECT_EQ(metricValue(server.admin, "murva_auth_keys"), minted["nextKeys"]["keys"].size() + 1)
        << "the new set and the secret";
    first->sendText(R"({"type":"offer","sdp":"x"})");
    EXPECT_EQ(second->receive(), R"({"type":"offer","sdp":"x"})");
}

// Also: the HS256 secret from a credential file, and refused tokens counted as wrong passwords are.
TEST(JoinTokens, OptionalTokensMustStillBeValidAndTheTokensNickAndMaxSecondsApply) {
    const json minted = mintTokens(issuer, audience);
    ASSERT_TRUE(minted.contains("tokens"));
    TempDir credentials;
    credentials.write("auth-secret", minted["secret"].get<std::string>() + "\n");
    TokenServer server(minted, minted["keys"].dump(), R"("max_password_failures_per_ip": 1)", "false",
                       {{"CREDENTIALS_DIRECTORY", credentials.path()}});
    ASSERT_EQ(server.child().waitExit(0ms), std::nullopt) << server.child().stderrText();
    EXPECT_EQ(joinReply(server.started.port), joinedAlone) << "no token, and none required";

    ClientOptions guesser;
    guesser.sourceAddress = "127.0.0.9";
    const json& good = minted["cases"][0];
    const std::string tooMany = R"({"reason":"Too many attempts, try later.","type":"error"})";
    const std::pair<std::string, std::string> tries[] = {{minted["tokens"]["old"], unauthorized},
                                                         {good["token"], tooMany}};
    for (const auto& [token, expected] : tries) {
        auto client = WsClient::connect(server.started.port, guesser);
        client->sendText(tokenJoin(good["room"], token));
        EXPECT_EQ(client->receive(), expected) << "a token for another room, then a good one past the limit";
    }

    auto limited = WsClient::connect(server.started.port);
    // It asks to resume, yet the grant's end is a leave: no slot is held for a resume beyond it.
    auto limitedJoin = json::parse(tokenJoin("lim", minted["tokens"]["limited"], "client's own"));
    limitedJoin["resume"] = true;
    limited->sendText(limitedJoin.dump());
    const auto limitedJoined = json::parse(limited->receive().value_or("{}"));
    ASSERT_EQ(limitedJoined.value("type", ""), "joined");
    const auto joinedAt = std::chrono::steady_clock::now();
    auto partner = WsClient::connect(server.started.port);
    partner->sendText(tokenJoin("lim", minted["tokens"]["partner"]));
    EXPECT_EQ(partner->receive(), R"({"peer":"Token Nick","type":"joined"})");

    EXPECT_EQ(limited->receive(5s), R"({"peer":"n","type":"peer-joined"})");
    EXPECT_EQ(limited->receive(5s), R"({"reason":"Token expired.","type":"error"})");
    const auto lasted = std::chrono::steady_clock::now() - joinedAt;
    EXPECT_GE(lasted, 900ms);
    EXPECT_LT(lasted, 3s);
    EXPECT_TRUE(limited->waitClosed());
    EXPECT_EQ(partner->receive(), R"({"type":"peer-left"})");
    auto again = WsClient::connect(server.started.port);
    auto resume = json::parse(tokenJoin("lim", minted["tokens"]["partner"]));
    resume["session"] = limitedJoined.value("session", "");
    again->sendText(resume.dump());
    EXPECT_EQ(again->receive(), R"({"reason":"Session expired.","type":"error"})");
}
