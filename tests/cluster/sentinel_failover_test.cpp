// Two instances following their Redis master through three sentinels: the master is killed while pairs that
// straddle the instances relay and joins keep coming. Joins succeed again within the bound, pairs go on (or end
// on both sides), and nothing of ours stays in Redis once everyone has left. Prints the times it measured; run it
// with --gtest_repeat to collect them.
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <future>
#include <map>
#include <sstream>

#include "app/app_test_util.hpp"
#include "support/redis_server.hpp"

#include <nlohmann/json.hpp>

using namespace app_test;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int pairCount = 50;
constexpr auto joinInterval = 100ms; // ten joins a second
constexpr auto joinsBackBound = 8s;  // killed -> joins succeed again
const std::string masterName = "murva";
const std::string joinedAlone = R"({"peer":"","type":"joined"})";

long long since(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<milliseconds>(to - from).count();
}

// redis-cli --raw prints a flat reply one element a line: names and values alternate.
std::map<std::string, std::string> fields(const std::string& text) {
    std::map<std::string, std::string> out;
    std::istringstream in(text);
    for (std::string name, value; std::getline(in, name) && std::getline(in, value);)
        out[name] = value;
    return out;
}

struct Member {
    std::unique_ptr<WsClient> ws;
    bool partnerThere = false; // what its client has been told
    int peerLefts = 0;
    std::optional<Clock::time_point> relayedAfterKill; // the first probe sent after the kill arrived then
    std::string told;                                  // what it was told and when (ms since the kill), for failures
};

struct Join {
    Clock::time_point sent, answered;
    bool ok = false;
    std::string reply;
};

class SentinelFailover : public ::testing::Test {
protected:
    SentinelFailover() : master_(), replica_(RedisServer::replicaOf(master_)) {
        EXPECT_TRUE(waitUntil(
            [&] {
                return replica_->command({"INFO", "replication"}).find("master_link_status:up") != std::string::npos;
            },
            10s));
        for (int i = 0; i < 3; ++i)
            sentinels_.push_back(RedisServer::sentinel(master_, masterName, 1000));
    }

    // Every sentinel knows the replica and the other two, which introduce themselves through the master.
    bool sentinelsReady() {
        for (auto& sentinel : sentinels_) {
            auto master = fields(sentinel->command({"SENTINEL", "MASTER", masterName}));
            if (master["num-slaves"] != "1" || master["num-other-sentinels"] != "2")
                return false;
        }
        return true;
    }

    uint16_t startInstance() {
        std::string sentinels;
        for (auto& sentinel : sentinels_)
            sentinels +=
                std::string(sentinels.empty() ? "" : ", ") + "\"127.0.0.1:" + std::to_string(sentinel->port()) + "\"";
        const std::string name = "c" + std::to_string(instances_.size()) + ".json";
        auto started = startOnFreePort(
            dir_.path(),
            [&](uint16_t port) {
                dir_.write(name, "{\"port\": " + std::to_string(port) + R"(, "bind_address": "127.0.0.1",
                    "max_connections": 0, "max_connections_per_ip": 0, "drain_timeout_ms": 0, "max_rooms": 0,
                    "cluster": {"sentinels": [)" +
                                     sentinels + R"(], "master_name": ")" + masterName + "\"}}");
                return std::vector<std::string>{name};
            },
            7);
        EXPECT_NE(started.child->stdoutText().find("Rooms shared through Redis as instance"), std::string::npos)
            << started.child->stderrText();
        instances_.push_back(std::move(started.child));
        return started.port;
    }

    void TearDown() override {
        if (HasFailure())
            for (auto& instance : instances_)
                std::printf("instance %d said:\n%s\n", instance->pid(), instance->stderrText().c_str());
    }

    std::vector<std::string> keysOfOurs(RedisServer& server, bool heartbeats) {
        std::vector<std::string> keys;
        for (const auto& key : server.keys("murva:*"))
            if (heartbeats || key.rfind("murva:instance:", 0) != 0)
                keys.push_back(key);
        return keys;
    }

    TempDir dir_;
    RedisServer master_;
    std::unique_ptr<RedisServer> replica_;
    std::vector<std::unique_ptr<RedisServer>> sentinels_;
    std::vector<std::unique_ptr<ChildProcess>> instances_;
};

TEST_F(SentinelFailover, AKilledMasterIsReplacedUnderRelayingPairsAndArrivingJoins) {
    ASSERT_TRUE(waitUntil([&] { return sentinelsReady(); }, 15s));
    const uint16_t ports[] = {startInstance(), startInstance()};

    std::vector<Member> a(pairCount), b(pairCount);
    for (int i = 0; i < pairCount; ++i) {
        const std::string room = "pair-" + std::to_string(i);
        a[i].ws = WsClient::connect(ports[0]);
        a[i].ws->sendText(R"({"type":"join","room":")" + room + R"(","nick":"a"})");
        ASSERT_EQ(a[i].ws->receive(5s), joinedAlone);
        b[i].ws = WsClient::connect(ports[1]);
        b[i].ws->sendText(R"({"type":"join","room":")" + room + R"(","nick":"b"})");
        ASSERT_EQ(b[i].ws->receive(5s), R"({"peer":"a","type":"joined"})");
        ASSERT_EQ(a[i].ws->receive(5s), R"({"peer":"b","type":"peer-joined"})");
        a[i].partnerThere = b[i].partnerThere = true;
    }

    // Joins arrive at ten a second, each in a room of its own, alternately on each instance.
    std::atomic<bool> joining{true};
    std::vector<std::future<Join>> joins;
    std::thread joiner([&] {
        for (int k = 0; joining; ++k) {
            joins.push_back(std::async(std::launch::async, [k, port = ports[k % 2]] {
                Join join;
                join.sent = Clock::now();
                try {
                    auto client = WsClient::connect(port);
                    client->sendText(R"({"type":"join","room":"j-)" + std::to_string(k) + R"(","nick":"j"})");
                    join.reply = client->receive(joinsBackBound + 2s).value_or("(nothing)");
                    join.ok = join.reply == joinedAlone;
                    client->close();
                } catch (const std::exception& e) {
                    join.reply = e.what();
                }
                join.answered = Clock::now();
                return join;
            }));
            std::this_thread::sleep_for(joinInterval);
        }
    });

    // Every pair sends a probe each way every 100 ms, stamped with its sending time; what arrives is read.
    const auto epoch = Clock::now();
    const auto stamp = [&](Clock::time_point t) { return std::chrono::duration_cast<milliseconds>(t - epoch).count(); };
    std::optional<long long> killedAt; // stamped as the probes are
    const auto readAll = [&](Member& member) {
        while (auto text = member.ws->receive(0ms)) {
            const auto frame = nlohmann::json::parse(*text);
            const std::string type = frame.value("type", "");
            if (type != "probe" && killedAt)
                member.told += type + "@" + std::to_string(stamp(Clock::now()) - *killedAt) + " ";
            if (type == "peer-left") {
                member.partnerThere = false;
                ++member.peerLefts;
            } else if (type == "peer-joined") {
                member.partnerThere = true;
            } else if (type == "probe" && killedAt && !member.relayedAfterKill && frame.value("t", 0LL) > *killedAt) {
                member.relayedAfterKill = Clock::now();
            }
        }
    };
    const auto relayFor = [&](Clock::duration length) {
        for (const auto end = Clock::now() + length; Clock::now() < end;) {
            const std::string probe = R"({"type":"probe","t":)" + std::to_string(stamp(Clock::now())) + "}";
            for (int i = 0; i < pairCount; ++i) {
                a[i].ws->sendText(probe);
                b[i].ws->sendText(probe);
            }
            std::this_thread::sleep_for(100ms);
            for (int i = 0; i < pairCount; ++i) {
                readAll(a[i]);
                readAll(b[i]);
            }
        }
    };

    relayFor(2s);
    master_.kill();
    const auto killed = Clock::now();
    killedAt = stamp(killed);
    std::optional<Clock::time_point> switched;
    std::thread watcher([&, killed, newMaster = std::to_string(replica_->port())] {
        while (Clock::now() < killed + 15s) {
            if (sentinels_[0]->command({"SENTINEL", "get-master-addr-by-name", masterName}).find(newMaster) !=
                std::string::npos)
                return void(switched = Clock::now());
            std::this_thread::sleep_for(20ms);
        }
    });
    relayFor(joinsBackBound + 2s);
    joining = false;
    joiner.join();
    watcher.join();
    relayFor(500ms); // what is on its way arrives

    // Joins: all answered before the kill succeed, then again within the bound, and every one sent after it.
    std::optional<long long> joinsBack;
    int failed = 0;
    for (auto& future : joins) {
        const Join join = future.get();
        if (join.answered < killed) {
            EXPECT_TRUE(join.ok) << join.reply;
        } else if (join.ok) {
            joinsBack = std::min(joinsBack.value_or(LLONG_MAX), since(killed, join.answered));
        } else {
            ++failed;
            EXPECT_LT(join.sent, killed + joinsBackBound)
                << "a join sent " << since(killed, join.sent) << " ms after the kill failed: " << join.reply;
        }
    }
    ASSERT_TRUE(switched) << "the sentinels did not switch";
    ASSERT_TRUE(joinsBack) << "no join succeeded after the kill";
    EXPECT_LT(*joinsBack, std::chrono::duration_cast<milliseconds>(joinsBackBound).count());

    // Pairs: no member is told its partner left, or both are; one that believes its partner there is right.
    long long relayBack = 0;
    int ended = 0, relaying = 0;
    for (int i = 0; i < pairCount; ++i) {
        SCOPED_TRACE("pair " + std::to_string(i));
        ended += a[i].peerLefts != 0 || b[i].peerLefts != 0;
        EXPECT_EQ(a[i].peerLefts != 0, b[i].peerLefts != 0);
        EXPECT_EQ(a[i].peerLefts + b[i].peerLefts, 0) << "a: " << a[i].told << "; b: " << b[i].told;
        for (const auto* member : {&a[i], &b[i]}) {
            if (member->partnerThere) {
                ASSERT_TRUE(member->relayedAfterKill)
                    << "believes its partner there, which was not heard since; a: " << a[i].told
                    << "; b: " << b[i].told;
            }
        }
        if (a[i].relayedAfterKill && b[i].relayedAfterKill) {
            ++relaying;
            relayBack =
                std::max({relayBack, since(killed, *a[i].relayedAfterKill), since(killed, *b[i].relayedAfterKill)});
        }
        for (auto [from, to] : {std::pair{&a[i], &b[i]}, std::pair{&b[i], &a[i]}})
            if (from->partnerThere) {
                from->ws->sendText(R"({"type":"offer","last":true})");
                EXPECT_EQ(to->ws->receive(5s), R"({"type":"offer","last":true})");
            }
    }
    std::printf("failover: sentinels switched %lld ms after the kill; joins succeed again after %lld ms (%d refused); "
                "pairs relay again both ways after %lld ms (%d of %d pairs); %d pairs told peer-left\n",
                since(killed, *switched), *joinsBack, failed, relayBack, relaying, pairCount, ended);

    // Everyone leaves: no room of ours stays on the new master; stopped instances take their heartbeats along.
    for (int i = 0; i < pairCount; ++i) {
        a[i].ws->close();
        b[i].ws->close();
    }
    EXPECT_TRUE(waitUntil([&] { return keysOfOurs(*replica_, false).empty(); }, 5s))
        << ::testing::PrintToString(keysOfOurs(*replica_, false));
    for (auto& instance : instances_) {
        ASSERT_EQ(::kill(instance->pid(), SIGTERM), 0);
        EXPECT_TRUE(instance->waitExit(10s));
    }
    EXPECT_EQ(keysOfOurs(*replica_, true), std::vector<std::string>{});
}

} // namespace
