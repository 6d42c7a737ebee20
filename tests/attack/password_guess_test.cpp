// Password guessing: hundreds of joins with wrong passwords from several addresses at once. Every one is
// answered "unauthorized" and closed, none creates a room, guesses pipelined behind a wrong one on the same
// connection are never looked at, and the right password still gets in afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "attack_util.hpp"

using namespace attack;

namespace {
const std::string password = "correct horse";
const std::string unauthorized = R"({"type":"unauthorized"})";
} // namespace

TEST(PasswordGuessing, EveryWrongGuessIsRefusedAndClosed) {
    ServerSettings settings;
    settings.password = password;
    settings.maxPasswordFailuresPerIp = 0; // every guess reaches the check
    SignalServer server(settings);
    const StateSizes before = server.sizes();

    constexpr int threads = 4;
    constexpr int guessesPerThread = 125;
    std::atomic<int> refused{0}, otherAnswers{0}, leftOpen{0}, failures{0};
    const auto start = Clock::now();
    std::vector<std::thread> guessers;
    for (int t = 0; t < threads; ++t)
        guessers.emplace_back([&, t] {
            ClientOptions options;
            options.sourceAddress = "127.0.0." + std::to_string(41 + t);
            for (int i = 0; i < guessesPerThread; ++i) {
                try {
                    auto client = WsClient::connect(server.port(), options);
                    // Near misses too: a prefix, the password with one more byte, another case.
                    const std::string guess = i % 3 == 0   ? password.substr(0, password.size() - 1)
                                              : i % 3 == 1 ? password + "!"
                                                           : "guess-" + std::to_string(t) + "-" + std::to_string(i);
                    client->sendText(joinText("vault-" + std::to_string(i % 7), "thief", guess));
                    const auto answer = client->receive();
                    if (answer == unauthorized)
                        ++refused;
                    else
                        ++otherAnswers;
                    if (!client->waitClosed(3s))
                        ++leftOpen;
                } catch (const std::exception&) {
                    ++failures;
                }
            }
        });
    for (auto& g : guessers)
        g.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    constexpr int total = threads * guessesPerThread;
    std::printf("[password] %d wrong guesses refused in %.2f s: %.0f guesses/s (4 threads, each connect, join, "
                "refusal, close)\n",
                refused.load(), seconds, total / seconds);
    std::fflush(stdout);

    EXPECT_EQ(refused, total);
    EXPECT_EQ(otherAnswers, 0);
    EXPECT_EQ(leftOpen, 0);
    EXPECT_EQ(failures, 0);
    for (const auto& line : server.consoleLines()) // refusals are logged (within their budget), joins never
        EXPECT_EQ(line.rfind("[!] refused unauthorized", 0), 0u) << "a guess made it into a room: " << line;

    // Guesses queued behind a wrong one on the same connection, the right one among them, are never looked at.
    {
        auto client = WsClient::connect(server.port());
        client->sendText(joinText("vault", "thief", "wrong"));
        for (int i = 0; i < 20; ++i)
            client->sendText(joinText("vault", "thief", i == 10 ? password : "wrong-" + std::to_string(i)));
        EXPECT_EQ(client->receive(), unauthorized);
        EXPECT_TRUE(client->waitClosed(3s).has_value());
        EXPECT_EQ(client->receive(0ms), std::nullopt);
    }
    // A join without any password is a wrong guess too; one with the password of another type is dropped.
    {
        auto client = WsClient::connect(server.port());
        client->sendText(R"({"type":"join","room":"vault","nick":"n","password":12345})");
        EXPECT_TRUE(client->receivesNothing(200ms));
        client->sendText(R"({"type":"join","room":"vault","nick":"n"})");
        EXPECT_EQ(client->receive(), unauthorized);
        EXPECT_TRUE(client->waitClosed(3s).has_value());
    }
    EXPECT_TRUE(server.waitForSizes(before)) << describe(server.sizes());
    for (int t = 0; t < threads; ++t)
        EXPECT_FALSE(server.hasIpEntry("127.0.0." + std::to_string(41 + t)));

    // The right password still gets in, and a pair relays.
    auto a = WsClient::connect(server.port());
    a->sendText(joinText("vault", "owner", password));
    EXPECT_EQ(a->receive(), joinedText(""));
    auto b = WsClient::connect(server.port());
    b->sendText(joinText("vault", "friend", password));
    EXPECT_EQ(b->receive(), joinedText("owner"));
    EXPECT_EQ(a->receive(), peerJoinedText("friend"));
    a->sendText(R"({"type":"offer","sdp":"v=0"})");
    EXPECT_EQ(b->receive(), R"({"type":"offer","sdp":"v=0"})");
    a->close();
    b->close();
    EXPECT_TRUE(server.waitForSizes(before)) << describe(server.sizes());
}

TEST(PasswordGuessing, PastTheLimitAnAddressIsRefusedWithoutACheckWhileOthersStillJoin) {
    ServerSettings settings;
    settings.password = password;
    settings.maxPasswordFailuresPerIp = 3;
    SignalServer server(settings);
    const auto guess = [&](const char* source, const std::string& pw) {
        ClientOptions options;
        options.sourceAddress = source;
        auto client = WsClient::connect(server.port(), options);
        client->sendText(joinText("vault", "n", pw));
        const auto answer = client->receive().value_or("");
        EXPECT_TRUE(client->waitClosed(3s) || answer == joinedText("")) << answer;
        return answer;
    };
    const std::string tooMany = R"({"reason":"Too many attempts, try later.","type":"error"})";
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(guess("127.0.0.61", "wrong"), unauthorized);
    EXPECT_EQ(guess("127.0.0.61", "wrong"), tooMany);
    EXPECT_EQ(guess("127.0.0.61", password), tooMany); // not even the right one is looked at
    EXPECT_EQ(guess("127.0.0.62", password), joinedText(""));
    const std::string metrics = server.server().metrics();
    EXPECT_NE(metrics.find("murva_joins_total{result=\"rate_limited\"} 2"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("murva_joins_total{result=\"unauthorized\"} 3"), std::string::npos);
}
