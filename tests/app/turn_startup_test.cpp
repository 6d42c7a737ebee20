// A "turn" key at start: contradictions and missing secrets end the start, and the secret from the environment
// or a credential file signs.
#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "app_test_util.hpp"
#include "signaling/turn_credentials.hpp"

using namespace app_test;

TEST(TurnStartup, RefusedConfigurationsNameTurnAndTheSecretMayComeFromTheEnvironment) {
    const std::string urls = R"("urls": ["turn:127.0.0.1:3478"])";
    const std::string failed = "Failed to load murva-signal.json: ";
    TempDir credentials, unreadable;
    credentials.write("turn-secret", "from-file\n");
    std::filesystem::create_directory(unreadable.file("turn-secret"));
    const std::pair<std::string, std::string> withFile{"CREDENTIALS_DIRECTORY", credentials.path()};
    struct Case {
        std::string members;
        std::map<std::string, std::string> env;
        std::string expected; // the start of standard error; empty: serves
        std::string signingSecret = "";
    };
    const Case cases[] = {
        {R"("allow_turn": false, "turn": {)" + urls + R"(, "secret": "s"})",
         {},
         failed + "turn is set but allow_turn is false"},
        {R"("turn": {"secret": "s"})", {}, failed + "turn.urls must be a non-empty array"},
        {R"("turn": {"urls": ["stun:127.0.0.1:3478"], "secret": "s"})", {}, failed + "turn.urls[0] must be a string"},
        {R"("turn": {)" + urls + "}", {}, failed + "turn has no secret: set turn.secret or MURVA_SIGNAL_TURN_SECRET"},
        {R"("turn": {)" + urls + R"(, "secret": "file"})",
         {{"MURVA_SIGNAL_TURN_SECRET", ""}},
         failed + "turn has no secret"},
        {R"("turn": {)" + urls + "}", {{"MURVA_SIGNAL_TURN_SECRET", "env only"}}, "", "env only"},
        {R"("turn": {)" + urls + R"(, "secret": "file"})", {{"MURVA_SIGNAL_TURN_SECRET", "env"}}, "", "env"},
        {R"("turn": {)" + urls + R"(, "secret": "conf"})", {withFile}, "", "from-file"},
        {R"("turn": {)" + urls + R"(, "secret": "conf"})",
         {{"CREDENTIALS_DIRECTORY", unreadable.path()}},
         "Cannot read credential " + unreadable.file("turn-secret") + ": Is a directory\n"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        auto [child, port] = startOnFreePort(
            dir.path(),
            [&](uint16_t p) {
                dir.write("murva-signal.json", configText(p, c.members));
                return std::vector<std::string>{};
            },
            8, c.env);
        if (!c.expected.empty()) {
            EXPECT_EQ(child->waitExit(), 1) << c.members;
            EXPECT_EQ(child->stderrText().rfind(c.expected, 0), 0u) << c.members << "\n" << child->stderrText();
            EXPECT_EQ(child->stdoutText(), "") << c.members;
            continue;
        }
        const auto lines = child->stdoutLines();
        ASSERT_GE(lines.size(), 2u) << child->stderrText();
        EXPECT_EQ(lines[lines.size() - 2], "TURN credentials: 1 urls, ttl 3600 s") << child->stderrText();
        const auto reply = nlohmann::json::parse(joinReply(port));
        const std::string username = reply["iceServers"][0]["username"];
        EXPECT_EQ(reply["iceServers"][0]["credential"], murva::turnPassword(c.signingSecret, username)) << c.members;
    }
}
