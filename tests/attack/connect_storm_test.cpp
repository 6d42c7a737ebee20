// Connect storms: bursts of simultaneous connections from one address and from many. Exactly the limit is
// admitted, every other connection gets the capacity error and is closed (or, when more are on their way to the
// upgrade at once than may be open, is closed before it), the limits hold again for a second wave, and once
// everyone has left every count is back to zero.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "attack_util.hpp"

using namespace attack;

namespace {

struct Storm {
    std::vector<std::unique_ptr<WsClient>> admitted;
    std::size_t refused = 0;     // upgraded, then refused with the capacity error
    std::size_t notUpgraded = 0; // closed before the upgrade, over the caps on connections not upgraded
};

uint64_t refusedBeforeUpgrade(SignalServer& server) {
    const auto refused = server.transport().counters().refused;
    return refused.pendingPerClient + refused.pendingTotal;
}

// Opens one connection per source address, all at once, and sorts them by the server's answer: a refused
// connection gets the capacity error and a close, an admitted one nothing.
Storm storm(SignalServer& server, const std::vector<std::string>& sources) {
    const std::size_t countedBefore = server.sizes().clients;
    const uint64_t cappedBefore = refusedBeforeUpgrade(server);
    std::vector<std::unique_ptr<WsClient>> clients(sources.size());
    std::atomic<bool> go{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < sources.size(); ++i)
        threads.emplace_back([&, i] {
            while (!go)
                std::this_thread::yield();
            try {
                ClientOptions options;
                options.sourceAddress = sources[i];
                clients[i] = WsClient::connect(server.port(), options);
            } catch (const std::exception&) {
                ++failures;
            }
        });
    go = true;
    for (auto& t : threads)
        t.join();
    // A connection that did not complete its upgrade was closed for the caps on connections not upgraded.
    EXPECT_EQ(static_cast<uint64_t>(failures), refusedBeforeUpgrade(server) - cappedBefore);

    // Settled once every connection is either closed by the server or counted by it.
    const bool settled = waitUntil([&] {
        std::size_t closed = static_cast<std::size_t>(failures.load());
        for (const auto& client : clients)
            closed += client && client->isClosed();
        return closed + server.sizes().clients == countedBefore + sources.size();
    });
    EXPECT_TRUE(settled) << describe(server.sizes());
    Storm result;
    result.notUpgraded = static_cast<std::size_t>(failures.load());
    for (auto& client : clients) {
        if (!client)
            continue;
        if (client->isClosed()) {
            EXPECT_EQ(client->receive(0ms), capacityError);
            ++result.refused;
        } else {
            result.admitted.push_back(std::move(client));
        }
    }
    return result;
}

// The admitted connections are real ones: pairs of them meet and relay.
void expectAdmittedWork(std::vector<std::unique_ptr<WsClient>>& admitted, const std::string& prefix) {
    for (std::size_t i = 0; i + 1 < admitted.size(); i += 2) {
        const std::string room = prefix + std::to_string(i);
        admitted[i]->sendText(joinText(room, "x"));
        EXPECT_EQ(admitted[i]->receive(), joinedText(""));
        admitted[i + 1]->sendText(joinText(room, "y"));
        EXPECT_EQ(admitted[i + 1]->receive(), joinedText("x"));
        admitted[i]->sendText(R"({"type":"offer","sdp":"s"})");
        EXPECT_EQ(admitted[i + 1]->receive(), R"({"type":"offer","sdp":"s"})");
    }
}

void closeAll(std::vector<std::unique_ptr<WsClient>>& clients) {
    for (std::size_t i = 0; i < clients.size(); ++i)
        if (i % 2 == 0)
            clients[i]->close();
        else
            clients[i]->abort();
    clients.clear();
}

} // namespace

TEST(ConnectStorm, BurstFromOneAddressIsHeldToThePerIpLimit) {
    ServerSettings settings;
    settings.maxConnections = 12;
    settings.maxConnectionsPerIp = 5;
    SignalServer server(settings);
    const StateSizes before = server.sizes();

    for (int wave = 0; wave < 2; ++wave) {
        SCOPED_TRACE("wave " + std::to_string(wave));
        Storm burst = storm(server, std::vector<std::string>(40, "127.0.0.20"));
        EXPECT_EQ(burst.admitted.size(), 5u);
        EXPECT_EQ(burst.refused + burst.notUpgraded, 35u);
        EXPECT_EQ(server.sizes(), (StateSizes{5, 0, 1}));
        EXPECT_EQ(server.ipCount("127.0.0.20"), 5);

        // Refusals per IP do not use up the global limit: seven more from other addresses fit, the next does not.
        std::vector<std::string> others;
        for (int i = 0; i < 8; ++i)
            others.push_back("127.0.0." + std::to_string(21 + i));
        Storm rest = storm(server, others);
        EXPECT_EQ(rest.admitted.size(), 7u);
        EXPECT_EQ(rest.refused + rest.notUpgraded, 1u);
        EXPECT_EQ(server.sizes().clients, 12u);

        expectAdmittedWork(burst.admitted, "one-" + std::to_string(wave) + "-");
        closeAll(burst.admitted);
        closeAll(rest.admitted);
        EXPECT_TRUE(server.waitForSizes(before)) << describe(server.sizes());
        EXPECT_FALSE(server.hasIpEntry("127.0.0.20"));
    }
    expectNothingLeaked(server, before);
}

TEST(ConnectStorm, BurstFromManyAddressesIsHeldToTheTotalLimit) {
    ServerSettings settings;
    settings.maxConnections = 25;
    settings.maxConnectionsPerIp = 2;
    SignalServer server(settings);
    const StateSizes before = server.sizes();

    std::vector<std::string> sources;
    for (int i = 0; i < 30; ++i)
        for (int k = 0; k < 2; ++k)
            sources.push_back("127.0.0." + std::to_string(100 + i));

    for (int wave = 0; wave < 2; ++wave) {
        SCOPED_TRACE("wave " + std::to_string(wave));
        Storm burst = storm(server, sources);
        EXPECT_EQ(burst.admitted.size(), 25u);
        EXPECT_EQ(burst.refused + burst.notUpgraded, 35u);
        EXPECT_EQ(server.sizes().clients, 25u);
        int counted = 0;
        for (int i = 0; i < 30; ++i) {
            const int n = server.ipCount("127.0.0." + std::to_string(100 + i));
            EXPECT_LE(n, 2);
            counted += n;
        }
        EXPECT_EQ(counted, 25);

        expectAdmittedWork(burst.admitted, "many-" + std::to_string(wave) + "-");
        closeAll(burst.admitted);
        EXPECT_TRUE(server.waitForSizes(before)) << describe(server.sizes());
    }
    expectNothingLeaked(server, before);
}
