// Many clients joining, relaying and closing at once from several threads; afterwards the state is empty.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/signal_server.hpp"
#include "support/ws_client.hpp"

using namespace testing_support;

TEST(Concurrency, HundredsOfClientsJoinRelayAndCloseAtOnce) {
    ServerSettings settings;
    settings.maxConnections = 0;
    settings.maxConnectionsPerIp = 0;
    settings.maxRooms = 0;
    SignalServer server(settings);

    constexpr int threads = 6;
    constexpr int pairsPerThread = 25;
    std::atomic<int> relayed{0}, failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            try {
                std::vector<std::pair<std::unique_ptr<WsClient>, std::unique_ptr<WsClient>>> pairs;
                for (int i = 0; i < pairsPerThread; ++i) {
                    const std::string room = "t" + std::to_string(t) + "-" + std::to_string(i);
                    ClientOptions options;
                    options.sourceAddress = "127.0.0." + std::to_string(10 + t);
                    auto a = WsClient::connect(server.port(), options);
                    auto b = WsClient::connect(server.port(), options);
                    a->sendText(R"({"type":"join","room":")" + room + R"(","nick":"a"})");
                    if (a->receive() != R"({"peer":"","type":"joined"})")
                        ++failures;
                    b->sendText(R"({"type":"join","room":")" + room + R"(","nick":"b"})");
                    if (b->receive() != R"({"peer":"a","type":"joined"})")
                        ++failures;
                    pairs.emplace_back(std::move(a), std::move(b));
                }
                for (auto& [a, b] : pairs) {
                    if (a->receive() != R"({"peer":"b","type":"peer-joined"})")
                        ++failures;
                    for (int k = 0; k < 5; ++k)
                        a->sendText(R"({"type":"candidate","candidate":"c)" + std::to_string(k) + R"("})");
                }
                for (auto& [a, b] : pairs)
                    for (int k = 0; k < 5; ++k)
                        if (b->receive() == R"({"type":"candidate","candidate":"c)" + std::to_string(k) + R"("})")
                            ++relayed;
                // Close in mixed ways and orders.
                for (std::size_t i = 0; i < pairs.size(); ++i) {
                    if (i % 3 == 0) {
                        pairs[i].first->abort();
                        pairs[i].second->close();
                    } else if (i % 3 == 1) {
                        pairs[i].second->close();
                        pairs[i].first->close();
                    } else {
                        pairs[i].first.reset();
                        pairs[i].second.reset();
                    }
                }
            } catch (const std::exception&) {
                ++failures;
            }
        });
    }
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(relayed, threads * pairsPerThread * 5);
    EXPECT_TRUE(server.waitForSizes({0, 0, 0}, std::chrono::seconds(10)));

    // Still answering correctly.
    auto a = WsClient::connect(server.port());
    a->sendText(R"({"type":"join","room":"after","nick":"x"})");
    EXPECT_EQ(a->receive(), R"({"peer":"","type":"joined"})");
    const auto lines = server.consoleLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.rfind("[+] join", 0) == 0; }),
              threads * pairsPerThread * 2 + 1);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.rfind("[-] leave", 0) == 0; }),
              threads * pairsPerThread * 2);
}
