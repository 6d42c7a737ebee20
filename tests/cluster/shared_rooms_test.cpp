// Instances of the real binary sharing rooms through a real redis-server: pairs that straddle instances meet,
// relay in order and part; two instances racing for a last slot; the room limit counted over all of them; an
// instance killed; Redis restarted and paused under running pairs, within the failover wait (pairs go on, joins
// wait) and past it; an instance stopped; a name used twice; forged channel messages; a flushed script cache; a
// refused heartbeat; a limited Redis user; Redis over TLS.
#include <gtest/gtest.h>

#include <csignal>
#include <iterator>
#include <sstream>

#include "app/app_test_util.hpp"
#include "cluster/channel_message.hpp"
#include "support/redis_server.hpp"

#include <nlohmann/json.hpp>

using namespace app_test;

namespace {

struct Instance {
    std::unique_ptr<ChildProcess> child;
    uint16_t port = 0;
    uint16_t admin = 0;
    std::string config; // its configuration file's name
};

class SharedRooms : public ::testing::Test {
protected:
    explicit SharedRooms(const std::string& redisPassword = {})
        : SharedRooms(testing_support::RedisServerOptions{redisPassword}) {}
    explicit SharedRooms(const testing_support::RedisServerOptions& redis) : redis_(redis) {
        instances_.reserve(4); // startInstance hands out references
    }

    // One more instance with the given timing; `members` adds keys of its configuration.
    Instance& startInstance(const std::string& timing, const std::string& members = R"("max_rooms": 0)",
                            const std::map<std::string, std::string>& env = {}) {
        Instance instance;
        auto started = launch(instance, timing, members, env);
        EXPECT_NE(started.child->stdoutText().find("Rooms shared through Redis as instance"), std::string::npos)
            << started.child->stderrText();
        instance.child = std::move(started.child);
        instance.port = started.port;
        if (!expectUnready_) {
            EXPECT_TRUE(waitUntil([&] { return ready(instance); }, 5s)); // Redis has answered
        }
        instances_.push_back(std::move(instance));
        return instances_.back();
    }

    // Runs the binary with such a configuration and returns once it serves or has ended.
    Started launch(Instance& instance, const std::string& timing, const std::string& members = R"("max_rooms": 0)",
                   const std::map<std::string, std::string>& env = {}) {
        instance.admin = freeLoopbackPort();
        instance.config = "c" + std::to_string(instances_.size()) + ".json";
        return startOnFreePort(
            dir_.path(),
            [&](uint16_t port) {
                writeConfig(instance, port, timing, members);
                return std::vector<std::string>{instance.config};
            },
            7, env);
    }

    void writeConfig(const Instance& instance, uint16_t port, const std::string& timing,
                     const std::string& members = R"("max_rooms": 0)") {
        dir_.write(instance.config, "{\"port\": " + std::to_string(port) + R"(, "bind_address": "127.0.0.1",
                    "max_connections": 0, "max_connections_per_ip": 0, "drain_timeout_ms": 0, "admin": {"port": )" +
                                        std::to_string(instance.admin) + "}, " + members +
                                        R"(, "cluster": {"redis": ")" +
                                        redis_.url().substr(0, redis_.url().find("://")) +
                                        "://127.0.0.1:" + std::to_string(redis_.port()) + "\", " + timing + "}}");
    }

    static bool ready(const Instance& instance) {
        return httpGet(instance.admin, "/readyz").find("200 OK") != std::string::npos;
    }

    // The value of one sample line of /metrics ("" when there is none).
    static std::string metric(const Instance& instance, const std::string& sample) {
        const std::string page = httpGet(instance.admin, "/metrics");
        const auto at = page.find("\n" + sample + " ");
        if (at == std::string::npos)
            return "";
        const auto value = at + sample.size() + 2;
        return page.substr(value, page.find('\n', value) - value);
    }

    // Joins room `room` on `instance` and returns the reply.
    static std::string join(WsClient& client, const std::string& room, const std::string& nick) {
        client.sendText(R"({"type":"join","room":")" + room + R"(","nick":")" + nick + "\"}");
        return client.receive(5s).value_or("");
    }

    // Two clients meet in one room across the instances on ports `a` and `b`, and a message crosses; they stay in
    // it while the clients are kept.
    static std::pair<std::unique_ptr<WsClient>, std::unique_ptr<WsClient>> expectAPairMeetsAcross(uint16_t a,
                                                                                                  uint16_t b);

    // Redis's keys of ours besides the heartbeats.
    std::vector<std::string> roomKeys() {
        std::vector<std::string> keys;
        for (const auto& key : redis_.keys("murva:*"))
            if (key.rfind("murva:instance:", 0) != 0)
                keys.push_back(key);
        return keys;
    }

    TempDir dir_;
    RedisServer redis_;
    bool expectUnready_ = false;
    std::vector<Instance> instances_;
};

const std::string joinedAlone = R"({"peer":"","type":"joined"})";
const std::string atCapacity = R"({"reason":"Server is at capacity, try later.","type":"error"})";
std::string joinedWith(const std::string& nick) { return R"({"peer":")" + nick + R"(","type":"joined"})"; }

std::string peerJoined(const std::string& nick) { return R"({"peer":")" + nick + R"(","type":"peer-joined"})"; }
const std::string peerLeft = R"({"type":"peer-left"})";

std::pair<std::unique_ptr<WsClient>, std::unique_ptr<WsClient>> SharedRooms::expectAPairMeetsAcross(uint16_t a,
                                                                                                    uint16_t b) {
    auto first = WsClient::connect(a);
    auto second = WsClient::connect(b);
    EXPECT_EQ(join(*first, "r", "one"), joinedAlone);
    EXPECT_EQ(join(*second, "r", "two"), joinedWith("one"));
    EXPECT_EQ(first->receive(5s), peerJoined("two"));
    second->sendText(R"({"type":"offer"})");
    EXPECT_EQ(first->receive(5s), R"({"type":"offer"})");
    return {std::move(first), std::move(second)};
}

TEST_F(SharedRooms, PairsAcrossInstancesMeetRelayInOrderRaceForSlotsAndLeaveNothingBehind) {
    const std::string timing = R"("heartbeat_ms": 200, "instance_timeout_ms": 1000)";
    constexpr int pairs = 300, races = 20, spare = 10; // a race room is gone before the next one
    for (int i = 0; i < 3; ++i)
        startInstance(timing, R"("max_rooms": )" + std::to_string(pairs + spare));
    const auto port = [&](int i) { return instances_[i % 3].port; };

    // Member a of pair i on instance i, b on the next one: every pair straddles two instances.
    std::vector<std::unique_ptr<WsClient>> a, b;
    for (int i = 0; i < pairs; ++i) {
        a.push_back(WsClient::connect(port(i)));
        ASSERT_EQ(join(*a[i], "room-" + std::to_string(i), "a" + std::to_string(i)), joinedAlone);
    }
    for (int i = 0; i < pairs; ++i) {
        b.push_back(WsClient::connect(port(i + 1)));
        ASSERT_EQ(join(*b[i], "room-" + std::to_string(i), "b" + std::to_string(i)),
                  joinedWith("a" + std::to_string(i)));
    }
    // Frames cross unchanged and in order, both ways; the bodies include what a naive framing would trip on.
    const std::vector<std::string> frames = {R"({"type":"offer","sdp":"v=0\r\nM 1 x 2\n"})",
                                             R"({"type":"candidate","candidate":"ü € 𝄞"})",
                                             R"({"type":"candidate","candidate":")" + std::string(20000, 'c') + "\"}"};
    for (int i = 0; i < pairs; ++i) {
        for (const auto& frame : frames)
            a[i]->sendText(frame);
        b[i]->sendText("{\"type\":\"answer\",\"pair\":" + std::to_string(i) + "}");
    }
    for (int i = 0; i < pairs; ++i) {
        ASSERT_EQ(a[i]->receive(5s), peerJoined("b" + std::to_string(i))) << i;
        for (const auto& frame : frames)
            ASSERT_EQ(b[i]->receive(5s), frame) << i;
        ASSERT_EQ(a[i]->receive(5s), "{\"type\":\"answer\",\"pair\":" + std::to_string(i) + "}") << i;
    }

    // Two newcomers on two instances race for the last slot of a room whose first member is on a third.
    for (int r = 0; r < races; ++r) {
        const std::string room = "race-" + std::to_string(r);
        auto first = WsClient::connect(port(r));
        auto x = WsClient::connect(port(r + 1)), y = WsClient::connect(port(r + 2));
        ASSERT_EQ(join(*first, room, "f"), joinedAlone);
        const std::string request = R"({"type":"join","room":")" + room + R"(","nick":"n"})";
        x->sendText(request);
        y->sendText(request);
        const auto replies = std::vector<std::string>{x->receive(5s).value_or(""), y->receive(5s).value_or("")};
        EXPECT_EQ(std::count(replies.begin(), replies.end(), joinedWith("f")), 1) << room;
        EXPECT_EQ(std::count(replies.begin(), replies.end(), R"({"type":"full"})"), 1) << room;
        EXPECT_EQ(first->receive(5s), peerJoined("n"));
        first.reset(); // leaves; the winner stays alone in the room
        EXPECT_EQ((replies[0] == joinedWith("f") ? x : y)->receive(5s), peerLeft) << room;
    }

    // The room limit counts the rooms of every instance.
    std::vector<std::unique_ptr<WsClient>> extra;
    for (int i = 0; i < spare; ++i) {
        extra.push_back(WsClient::connect(port(i)));
        ASSERT_EQ(join(*extra.back(), "extra-" + std::to_string(i), "e"), joinedAlone);
    }
    for (int i = 0; i < 3; ++i) {
        auto over = WsClient::connect(port(i));
        EXPECT_EQ(join(*over, "one-too-many", "o"), atCapacity);
    }

    // b leaves: a hears of it; then a leaves too and the rooms are gone from Redis.
    for (int i = 0; i < pairs; ++i)
        b[i]->close();
    for (int i = 0; i < pairs; ++i)
        ASSERT_EQ(a[i]->receive(5s), peerLeft) << i;
    a.clear();
    extra.clear();
    // The race winners were dropped with their WsClients at the end of each round.
    EXPECT_TRUE(waitUntil([&] { return roomKeys().empty(); }, 5s)) << ::testing::PrintToString(roomKeys());
    EXPECT_EQ(redis_.keys("murva:instance:*").size(), 3u);
}

TEST_F(SharedRooms, AKilledInstancesRoomsAreFreedAndRedisCanRestartUnderRunningPairs) {
    // Without a failover wait: joins are refused and pairs across instances end as soon as Redis is lost.
    const std::string timing = R"("heartbeat_ms": 100, "instance_timeout_ms": 1000, "failover_wait_ms": 0)";
    for (int i = 0; i < 3; ++i)
        startInstance(timing);
    const auto connectTo = [&](int i) { return WsClient::connect(instances_[i].port); };

    // Ten pairs from instance 0 to 1 and 2; a pair from 1 to 2; a pair inside instance 1.
    std::vector<std::unique_ptr<WsClient>> doomed, survivors;
    for (int i = 0; i < 10; ++i) {
        doomed.push_back(connectTo(0));
        ASSERT_EQ(join(*doomed.back(), "k" + std::to_string(i), "d"), joinedAlone);
        survivors.push_back(connectTo(1 + i % 2));
        ASSERT_EQ(join(*survivors.back(), "k" + std::to_string(i), "s"), joinedWith("d"));
    }
    auto across1 = connectTo(1), across2 = connectTo(2), local1 = connectTo(1), local2 = connectTo(1);
    ASSERT_EQ(join(*across1, "across", "x"), joinedAlone);
    ASSERT_EQ(join(*across2, "across", "y"), joinedWith("x"));
    ASSERT_EQ(join(*local1, "local", "l1"), joinedAlone);
    ASSERT_EQ(join(*local2, "local", "l2"), joinedWith("l1"));
    for (auto* client : {across1.get(), local1.get()})
        ASSERT_TRUE(client->receive(5s)); // peer-joined

    // kill -9: every partner of instance 0's members hears "peer-left" within the timeout plus a heartbeat
    // (and the time this busy machine takes to schedule it).
    instances_[0].child->kill();
    const auto killed = std::chrono::steady_clock::now();
    for (auto& survivor : survivors)
        EXPECT_EQ(survivor->receive(3s), peerLeft);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - killed);
    EXPECT_LE(took.count(), 1000 + 100 + 1000);
    // The survivors stay in their rooms, and a newcomer takes the freed slot.
    auto newcomer = connectTo(2);
    EXPECT_EQ(join(*newcomer, "k0", "n"), joinedWith("s"));
    EXPECT_EQ(survivors[0]->receive(5s), peerJoined("n"));
    across1->sendText(R"({"type":"offer"})");
    EXPECT_EQ(across2->receive(5s), R"({"type":"offer"})");

    // Redis restarts with nothing: pairs across instances end on both sides, the pair inside one instance goes
    // on, joins are refused as "at capacity" and /readyz says why, until Redis is back.
    redis_.stop();
    for (auto* client : {across1.get(), across2.get(), survivors[0].get(), newcomer.get()})
        EXPECT_EQ(client->receive(5s), peerLeft);
    local1->sendText(R"({"type":"offer","during":"outage"})");
    EXPECT_EQ(local2->receive(5s), R"({"type":"offer","during":"outage"})");
    auto refused = connectTo(1);
    EXPECT_EQ(join(*refused, "later", "r"), atCapacity);
    EXPECT_NE(httpGet(instances_[1].admin, "/readyz").find("503"), std::string::npos);

    redis_.restart();
    EXPECT_TRUE(waitUntil([&] { return ready(instances_[1]) && ready(instances_[2]); }, 5s));
    // The rooms the instances still have are back: the local pair's room is full; the two lone members of
    // "across" meet again (the one put back first is told, as of any newcomer); a lone member's room takes a
    // newcomer, who meets it across instances.
    auto third = connectTo(2);
    EXPECT_EQ(join(*third, "local", "t"), R"({"type":"full"})");
    const auto told1 = across1->receive(1s), told2 = across2->receive(1s);
    EXPECT_TRUE(told1 == peerJoined("y") ? !told2 : told2 == peerJoined("x"))
        << told1.value_or("-") << told2.value_or("-");
    across2->sendText(R"({"type":"offer","after":"restart"})");
    EXPECT_EQ(across1->receive(5s), R"({"type":"offer","after":"restart"})");
    auto rejoin = connectTo(1);
    EXPECT_EQ(join(*rejoin, "k1", "z"), joinedWith("s"));
    EXPECT_EQ(survivors[1]->receive(5s), peerJoined("z"));
    local1->sendText(R"({"type":"offer","after":"restart"})");
    EXPECT_EQ(local2->receive(5s), R"({"type":"offer","after":"restart"})");

    // Instance 2 stops cleanly: its partners on instance 1 hear of it at once, and its heartbeat goes with it
    // (it would otherwise live on for the timeout).
    ASSERT_EQ(::kill(instances_[2].child->pid(), SIGTERM), 0);
    EXPECT_EQ(across1->receive(5s), peerLeft);
    EXPECT_EQ(rejoin->receive(5s), peerLeft);
    EXPECT_EQ(instances_[2].child->waitExit(5s), 0);
    EXPECT_EQ(redis_.keys("murva:instance:*").size(), 1u);

    // Everyone leaves: only the live instance's heartbeat remains.
    doomed.clear();
    survivors.clear();
    for (auto* client : {across1.get(), local1.get(), local2.get(), rejoin.get(), refused.get()})
        client->close();
    EXPECT_TRUE(waitUntil([&] { return roomKeys().empty(); }, 5s)) << ::testing::PrintToString(roomKeys());
    EXPECT_EQ(redis_.keys("murva:instance:*").size(), 1u);

    // A second outage, Redis paused rather than gone, is reported like the first, within half the timeout
    // (a little more for polling /readyz on this busy machine); the instance comes back when Redis does.
    redis_.pause();
    const auto paused = std::chrono::steady_clock::now();
    EXPECT_TRUE(waitUntil([&] { return !ready(instances_[1]); }, 3s));
    EXPECT_LE(std::chrono::steady_clock::now() - paused, 500ms + 100ms);
    redis_.resume();
    EXPECT_TRUE(waitUntil([&] { return ready(instances_[1]); }, 5s));
}

// Copying one configuration to two instances gives both one name: the second is refused once the first's
// heartbeat is still fresh after the timeout; after a crash the name is free again within the timeout.
TEST_F(SharedRooms, AnInstanceNameInUseIsRefusedAtStart) {
    const std::string timing = R"("heartbeat_ms": 100, "instance_timeout_ms": 1000)";
    const std::string twinTiming = timing + R"(, "instance": "twin")";
    auto& first = startInstance(twinTiming);
    auto& other = startInstance(timing);
    auto client = WsClient::connect(first.port), partner = WsClient::connect(other.port);
    ASSERT_EQ(join(*client, "r", "n"), joinedAlone);
    ASSERT_EQ(join(*partner, "r", "p"), joinedWith("n"));
    ASSERT_EQ(client->receive(5s), peerJoined("p"));

    Instance twin;
    auto refused = launch(twin, twinTiming);
    EXPECT_EQ(refused.child->waitExit(5s), 1);
    EXPECT_NE(refused.child->stderrText().find("murva:instance:twin"), std::string::npos)
        << refused.child->stderrText();
    // The refused one gave back nothing of the name's: the pair across the two instances goes on.
    client->sendText(R"({"type":"offer"})");
    EXPECT_EQ(partner->receive(5s), R"({"type":"offer"})");
    partner->sendText(R"({"type":"answer"})");
    EXPECT_EQ(client->receive(5s), R"({"type":"answer"})");
    // A twin that started while Redis was away from one of them is noticed by the heartbeat, and said.
    redis_.command({"SET", "murva:instance:twin", "another process", "PX", "1000"});
    const auto warned = [&] {
        return first.child->stderrText().find("written by another process") != std::string::npos;
    };
    EXPECT_TRUE(waitUntil(warned, 3s));

    first.child->kill();
    startInstance(twinTiming); // waits out the dead one's heartbeat, then serves and frees what it held
    EXPECT_EQ(partner->receive(5s), peerLeft);
}

// Messages published on an instance's channel by anyone: what does not fit the member it names (which message
// does is tested on its own) is dropped and counted, and the instance carries on. Each table row would otherwise
// reach the member before the next row.
TEST_F(SharedRooms, ChannelMessagesThatDoNotFitTheirMemberAreDroppedAndCounted) {
    const std::string timing = R"("heartbeat_ms": 100, "instance_timeout_ms": 1000, "instance": )";
    auto& a = startInstance(timing + R"("a")");
    auto& b = startInstance(timing + R"("b")");
    auto here = WsClient::connect(a.port), there = WsClient::connect(b.port), waiting = WsClient::connect(a.port);
    ASSERT_EQ(join(*here, "pair", "h"), joinedAlone);
    ASSERT_EQ(join(*there, "pair", "t"), joinedWith("h"));
    ASSERT_EQ(here->receive(5s), peerJoined("t"));
    ASSERT_EQ(join(*waiting, "lone", "w"), joinedAlone);
    const auto id = [&](const std::string& room, const char* slot) {
        return std::stoull(redis_.command({"HGET", "murva:room:" + room, slot}));
    };
    const uint64_t hereId = id("pair", "m1"), thereId = id("pair", "m0"), waitingId = id("lone", "m1");

    using Kind = murva::ChannelMessage::Kind;
    const auto message = [](Kind kind, uint64_t to, const std::string& from, uint64_t fromId, const std::string& room,
                            const std::string& body) {
        return murva::encodeChannelMessage(kind, to, from, fromId, room, body);
    };
    // The member's partner, room and nick as this instance knows them are what the rows are judged against.
    const struct {
        std::string payload, reason;
    } dropped[] = {
        {message(Kind::Joined, waitingId, "c", 1, "lone", "\xff\xfe nick"), "malformed"},           // not UTF-8
        {message(Kind::Relay, hereId, "c", thereId, "pair", R"({"type":"offer"})"), "misdirected"}, // not the partner
        {message(Kind::Relay, hereId, "b", thereId + 1, "pair", R"({"type":"offer"})"), "misdirected"},
        {message(Kind::Relay, hereId, "b", thereId, "lone", R"({"type":"offer"})"), "misdirected"},
        {"nothing of ours", "malformed"},
    };
    std::map<std::string, int> expected;
    for (const auto& row : dropped) {
        EXPECT_EQ(redis_.command({"PUBLISH", "murva:to:a", row.payload}), "1");
        ++expected[row.reason];
    }
    // What fits goes through, after everything above.
    EXPECT_EQ(redis_.command({"PUBLISH", "murva:to:a",
                              message(Kind::Relay, hereId, "b", thereId, "pair", R"({"type":"answer"})")}),
              "1");
    EXPECT_EQ(redis_.command({"PUBLISH", "murva:to:a", message(Kind::Joined, waitingId, "c", 1, "lone", "x")}), "1");
    EXPECT_EQ(here->receive(5s), R"({"type":"answer"})");
    EXPECT_EQ(waiting->receive(5s), peerJoined("x"));
    for (const auto& [reason, count] : expected)
        EXPECT_EQ(metric(a, "murva_cluster_messages_dropped_total{reason=\"" + reason + "\"}"), std::to_string(count))
            << reason;
    EXPECT_FALSE(a.child->waitExit(0ms));
    there->sendText(R"({"type":"offer","still":"relayed"})");
    EXPECT_EQ(here->receive(5s), R"({"type":"offer","still":"relayed"})");
}

// The registry's scripts are cached by Redis, which may lose them (SCRIPT FLUSH, a failover to a replica that
// never had them): joins and leaves load them again.
TEST_F(SharedRooms, JoinsAndLeavesOutliveAFlushedScriptCache) {
    auto& instance = startInstance(R"("heartbeat_ms": 100, "instance_timeout_ms": 1000)");
    redis_.command({"SCRIPT", "FLUSH"});
    auto first = WsClient::connect(instance.port), second = WsClient::connect(instance.port);
    EXPECT_EQ(join(*first, "r", "f"), joinedAlone);
    redis_.command({"SCRIPT", "FLUSH"});
    EXPECT_EQ(join(*second, "r", "s"), joinedWith("f"));
    redis_.command({"SCRIPT", "FLUSH"});
    first->close();
    EXPECT_EQ(second->receive(5s), peerLeft);
    second->close();
    EXPECT_TRUE(waitUntil([&] { return roomKeys().empty(); }, 5s)) << ::testing::PrintToString(roomKeys());
}

// A Redis that refuses the heartbeat (an old version, a read-only replica after a failover, no memory, no
// permission) would let the others free this instance's rooms while it serves on: it counts as lost.
TEST_F(SharedRooms, ARefusedHeartbeatCountsAsALostConnection) {
    auto& instance = startInstance(R"("heartbeat_ms": 100, "instance_timeout_ms": 1000)");
    redis_.command({"ACL", "SETUSER", "default", "-set"});
    EXPECT_TRUE(waitUntil([&] { return !ready(instance); }, 3s));
    EXPECT_NE(instance.child->stderrText().find("heartbeat"), std::string::npos) << instance.child->stderrText();
    redis_.command({"ACL", "SETUSER", "default", "+set"});
    EXPECT_TRUE(waitUntil([&] { return ready(instance); }, 5s));
}

// The password comes from the environment only (it stays out of the file); without it Redis refuses the
// instance, which then reports itself unready and refuses joins.
class SharedRoomsWithPassword : public SharedRooms {
protected:
    SharedRoomsWithPassword() : SharedRooms(password) {}
    static constexpr const char* password = "pw with spaces";
};

TEST_F(SharedRoomsWithPassword, ThePasswordComesFromTheEnvironment) {
    const std::string timing = R"("heartbeat_ms": 100, "instance_timeout_ms": 1000, "failover_wait_ms": 0)";
    auto& with = startInstance(timing, R"("max_rooms": 0)", {{"MURVA_SIGNAL_REDIS_PASSWORD", password}});
    expectUnready_ = true;
    auto& without = startInstance(timing);
    auto client = WsClient::connect(without.port);
    EXPECT_EQ(join(*client, "r", "n"), atCapacity);
    EXPECT_NE(httpGet(without.admin, "/readyz").find("503"), std::string::npos);
    client = WsClient::connect(with.port);
    EXPECT_EQ(join(*client, "r", "n"), joinedAlone);
}

// Instances of a service whose Redis user may run only what they need (the README's grant) share rooms as any
// do; an instance whose user lacks one permission exits at start naming it, rather than serving unready.
TEST_F(SharedRooms, ALimitedRedisUserServesAndAUserWithoutAPermissionEndsTheStart) {
    const std::string rights = "~murva:* &murva:to:* -@all +ping +set +del +exists +publish +subscribe +evalsha "
                               "+eval +script|load +time +hget +hset +hdel +hexists +hincrby +hmget +zscore +zadd "
                               "+zrem +zrangebyscore +llen +rpush +pexpireat +lrange +sadd +srem +scard +smembers";
    std::vector<std::string> grant{"ACL", "SETUSER", "murva", "on", ">pw one", "resetkeys", "resetchannels"};
    std::istringstream words(rights);
    grant.insert(grant.end(), std::istream_iterator<std::string>(words), std::istream_iterator<std::string>());
    ASSERT_EQ(redis_.command(grant), "OK");
    grant[2] = "no-evalsha";
    grant.push_back("-evalsha");
    ASSERT_EQ(redis_.command(grant), "OK");

    const std::string timing = R"("heartbeat_ms": 100, "instance_timeout_ms": 1000)";
    const std::map<std::string, std::string> password{{"MURVA_SIGNAL_REDIS_PASSWORD", "pw one"}};
    auto& a = startInstance(timing + R"(, "user": "murva")", R"("max_rooms": 0)", password);
    // The user may come in the URL too.
    Instance b;
    b.admin = freeLoopbackPort();
    auto started = startOnFreePort(
        dir_.path(),
        [&](uint16_t port) {
            dir_.write("b.json", "{\"port\": " + std::to_string(port) + R"(, "bind_address": "127.0.0.1",
                "admin": {"port": )" +
                                     std::to_string(b.admin) + R"(}, "cluster": {"redis": "redis://murva@127.0.0.1:)" +
                                     std::to_string(redis_.port()) + "\", " + timing + "}}");
            return std::vector<std::string>{"b.json"};
        },
        7, password);
    b.child = std::move(started.child);
    b.port = started.port;
    ASSERT_TRUE(waitUntil([&] { return ready(b); }, 5s)) << b.child->stderrText();
    const auto pair = expectAPairMeetsAcross(a.port, b.port);

    Instance refused;
    auto ended = launch(refused, timing + R"(, "user": "no-evalsha")", R"("max_rooms": 0)", password);
    ASSERT_EQ(ended.child->waitExit(), 1) << ended.child->stdoutText();
    const std::string error = ended.child->stderrText();
    EXPECT_NE(error.find("Redis user \"no-evalsha\" may not run EVALSHA"), std::string::npos) << error;

    // TLS files with a redis:// URL: the operator believes in a TLS the connection would not have.
    Instance plain;
    ended = launch(plain, timing + R"(, "tls": {"ca_file": "ca.pem"})");
    ASSERT_EQ(ended.child->waitExit(), 1) << ended.child->stdoutText();
    EXPECT_NE(ended.child->stderrText().find("not a rediss:// URL"), std::string::npos) << ended.child->stderrText();
}

// Redis over TLS: the CA and the client certificate come from the configuration; instances share rooms as
// over plain TCP. A certificate not from the configured CA ends the start with the reason and the address.
class SharedRoomsOverTls : public SharedRooms {
protected:
    SharedRoomsOverTls()
        : SharedRooms(testing_support::RedisServerOptions{.password = {}, .tls = true, .clientCertificates = true}) {}
    std::string tlsKeys(const std::string& caFile) {
        return R"("heartbeat_ms": 100, "instance_timeout_ms": 1000, "tls": {"ca_file": ")" + caFile +
               R"(", "cert_file": ")" + redis_.clientCertFile() + R"(", "key_file": ")" + redis_.clientKeyFile() +
               "\"}";
    }
};

TEST_F(SharedRoomsOverTls, InstancesMeetOverTlsAndAnUntrustedCertificateEndsTheStart) {
    auto& a = startInstance(tlsKeys(redis_.caFile()));
    auto& b = startInstance(tlsKeys(redis_.caFile()));
    const auto pair = expectAPairMeetsAcross(a.port, b.port);
    EXPECT_FALSE(roomKeys().empty());

    Instance refused;
    auto ended = launch(refused, tlsKeys(std::string(MURVA_TEST_DATA) + "/cert.pem"));
    ASSERT_EQ(ended.child->waitExit(), 1) << ended.child->stdoutText();
    const std::string error = ended.child->stderrText();
    EXPECT_NE(error.find("TLS handshake with 127.0.0.1:" + std::to_string(redis_.port()) +
                         " failed: certificate verify failed"),
              std::string::npos)
        << error;
}

} // namespace

// A member that may resume outlives its instance: stopped (SIGTERM), it resumes on another instance; killed
// (kill -9), its slot is held once the heartbeat is gone. Its partner hears peer-away and peer-back, never
// peer-left; what the partner sent meanwhile arrives in order; Redis keeps nothing once both have left.
TEST_F(SharedRooms, AMemberResumesOnAnotherInstanceAfterItsOwnStoppedOrDied) {
    const std::string timing = R"("heartbeat_ms": 100, "instance_timeout_ms": 1000)";
    for (int i = 0; i < 3; ++i)
        startInstance(timing);
    const auto joinResumable = [&](int instance, const std::string& nick, std::string& session) {
        auto client = WsClient::connect(instances_[instance].port);
        client->sendText(R"({"type":"join","room":"r","nick":")" + nick + R"(","resume":true})");
        const auto reply = nlohmann::json::parse(client->receive(5s).value_or("{}"));
        EXPECT_EQ(reply.value("type", ""), "joined");
        session = reply.value("session", "");
        return client;
    };
    const auto resume = [&](int instance, const std::string& session, const std::string& peer) {
        auto client = WsClient::connect(instances_[instance].port);
        client->sendText(R"({"type":"join","room":"r","nick":"x","session":")" + session + R"("})");
        const auto reply = nlohmann::json::parse(client->receive(5s).value_or("{}"));
        EXPECT_EQ(reply.value("type", ""), "joined");
        EXPECT_EQ(reply.value("peer", ""), peer);
        EXPECT_NE(reply.value("session", session), session);
        return std::make_pair(std::move(client), reply.value("session", ""));
    };
    std::string annSession, benSession;
    auto ann = joinResumable(0, "ann", annSession);
    auto ben = joinResumable(1, "ben", benSession);
    ASSERT_EQ(ann->receive(5s), peerJoined("ben"));

    ASSERT_EQ(::kill(instances_[0].child->pid(), SIGTERM), 0);
    EXPECT_EQ(ann->waitClosed(5s), 1001);
    EXPECT_EQ(ben->receive(5s), R"({"type":"peer-away"})");
    ben->sendText(R"({"type":"offer","n":1})");
    ben->sendText(R"({"type":"candidate","n":2})");
    EXPECT_EQ(instances_[0].child->waitExit(5s), 0);
    auto [ann2, annSession2] = resume(2, annSession, "ben");
    EXPECT_EQ(ann2->receive(5s), R"({"type":"offer","n":1})");
    EXPECT_EQ(ann2->receive(5s), R"({"type":"candidate","n":2})");
    EXPECT_EQ(ben->receive(5s), R"({"type":"peer-back"})");
    ann2->sendText(R"({"type":"answer"})");
    EXPECT_EQ(ben->receive(5s), R"({"type":"answer"})");
    // A used token is void, on any instance.
    auto late = WsClient::connect(instances_[1].port);
    late->sendText(R"({"type":"join","room":"r","nick":"x","session":")" + annSession + R"("})");
    EXPECT_EQ(late->receive(5s), R"({"reason":"Session expired.","type":"error"})");

    instances_[2].child->kill();
    EXPECT_EQ(ben->receive(3s), R"({"type":"peer-away"})"); // once the heartbeat has expired
    ben->sendText(R"({"type":"offer","n":3})");
    auto [ann3, annSession3] = resume(1, annSession2, "ben");
    EXPECT_EQ(ann3->receive(5s), R"({"type":"offer","n":3})");
    EXPECT_EQ(ben->receive(5s), R"({"type":"peer-back"})");
    ann3->sendText(R"({"type":"answer","n":4})");
    EXPECT_EQ(ben->receive(5s), R"({"type":"answer","n":4})");
    EXPECT_TRUE(ben->receivesNothing()); // never peer-left
    EXPECT_TRUE(instances_[1].child->waitForStdout("[~] resume (rooms=1, clients="));

    ann3->close();
    EXPECT_EQ(ben->receive(5s), peerLeft);
    ben->close();
    EXPECT_TRUE(waitUntil([&] { return roomKeys().empty(); }, 5s)) << ::testing::PrintToString(roomKeys());
}

// A held slot in Redis ends like one held by a single server: when its grace runs out, or when more is sent to
// it than it keeps; either way the partner gets peer-left and nothing of the session stays in Redis.
TEST_F(SharedRooms, AHeldSlotEndsWhenItsGraceRunsOutOrItOverflows) {
    const std::string timing = R"("heartbeat_ms": 100, "instance_timeout_ms": 1000)";
    for (int i = 0; i < 2; ++i)
        startInstance(timing, R"("max_rooms": 0, "resume_grace_ms": 600)");
    for (const int frames : {0, 65}) {
        SCOPED_TRACE(frames);
        auto ann = WsClient::connect(instances_[0].port);
        ann->sendText(R"({"type":"join","room":"r","nick":"ann","resume":true})");
        ASSERT_TRUE(ann->receive(5s));
        auto ben = WsClient::connect(instances_[1].port);
        ASSERT_EQ(join(*ben, "r", "ben"), joinedWith("ann"));
        ann->abort();
        // Frames sent before the instance has noticed the drop are in flight to the connection that is gone.
        ASSERT_TRUE(waitUntil([&] { return !redis_.keys("murva:held").empty(); }, 5s));
        for (int i = 0; i < frames; ++i)
            ben->sendText(R"({"type":"candidate"})");
        // Ben did not ask to resume: he hears nothing but the end, sooner than the grace on an overflow.
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(ben->receive(3s), peerLeft);
        if (frames > 0) {
            EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
        }
        ben->close();
        EXPECT_TRUE(waitUntil([&] { return roomKeys().empty(); }, 5s)) << ::testing::PrintToString(roomKeys());
    }
    const auto counted = [&](const std::string& result) {
        int total = 0;
        for (const auto& instance : instances_)
            total += std::atoi(metric(instance, R"(murva_resumes_total{result=")" + result + "\"}").c_str());
        return total;
    };
    EXPECT_EQ(counted("expired"), 1);
    EXPECT_EQ(counted("overflow"), 1);
}

// Tokens are checked by each instance alone, so the same key set and secret make them good on every one; what a
// token grants (its nick, its end) crosses to the other instance.
TEST_F(SharedRooms, JoinTokensWorkOnEveryInstance) {
    const auto minted = mintTokens("https://app.example", "murva");
    ASSERT_TRUE(minted.contains("tokens"));
    dir_.write("keys.json", minted["keys"].dump());
    const std::string auth = R"("auth": {"issuer": "https://app.example", "audience": "murva", "keys": "keys.json"})";
    const std::map<std::string, std::string> env = {{"MURVA_SIGNAL_AUTH_SECRET", minted["secret"]}};
    const std::string timing = R"("heartbeat_ms": 200, "instance_timeout_ms": 1000)";
    auto& first = startInstance(timing, auth, env);
    auto& second = startInstance(timing, auth, env);

    auto a = WsClient::connect(first.port);
    a->sendText(tokenJoin("lim", minted["tokens"]["partner"]));
    ASSERT_EQ(a->receive(5s), joinedAlone);
    auto b = WsClient::connect(second.port);
    b->sendText(tokenJoin("lim", minted["tokens"]["limited"], "b"));
    ASSERT_EQ(b->receive(5s), joinedWith("n"));
    EXPECT_EQ(a->receive(5s), peerJoined("Token Nick"));
    EXPECT_EQ(b->receive(5s), R"({"reason":"Token expired.","type":"error"})");
    EXPECT_EQ(a->receive(5s), peerLeft);
}

// Redis lost (kill -9) and back, with nothing, within failover_wait_ms: a pair across instances goes on without a
// word to either member, and what each sent meanwhile arrives once and in order (past what a held slot keeps,
// dropped and counted); a join that came meanwhile waits and is answered then. A partner whose instance died
// meanwhile is not believed in past the wait: its member hears peer-left and its room takes a newcomer.
TEST_F(SharedRooms, PairsAcrossInstancesOutliveALossOfRedisWithinTheWait) {
    const std::string timing = R"("heartbeat_ms": 100, "instance_timeout_ms": 1000, "failover_wait_ms": 4000)";
    for (int i = 0; i < 3; ++i)
        startInstance(timing);
    const auto connectTo = [&](int i) { return WsClient::connect(instances_[i].port); };
    auto a = connectTo(0), b = connectTo(1), x = connectTo(0), y = connectTo(2);
    ASSERT_EQ(join(*a, "p", "a"), joinedAlone);
    ASSERT_EQ(join(*b, "p", "b"), joinedWith("a"));
    ASSERT_EQ(a->receive(5s), peerJoined("b"));
    ASSERT_EQ(join(*x, "q", "x"), joinedAlone);
    ASSERT_EQ(join(*y, "q", "y"), joinedWith("x"));
    ASSERT_EQ(x->receive(5s), peerJoined("y"));

    redis_.kill();
    ASSERT_TRUE(waitUntil([&] { return !ready(instances_[0]) && !ready(instances_[1]); }, 3s));
    const auto frame = [](const std::string& from, int n) {
        return R"({"type":"candidate","from":")" + from + R"(","n":)" + std::to_string(n) + "}";
    };
    const int kept = 64; // what a held slot keeps
    for (int i = 0; i < kept + 2; ++i)
        a->sendText(frame("a", i));
    for (int i = 0; i < 3; ++i)
        b->sendText(frame("b", i));
    auto waiting = connectTo(1);
    waiting->sendText(R"({"type":"join","room":"w","nick":"w"})");
    waiting->sendText(R"({"type":"offer","early":true})"); // before "joined": dropped, as always
    instances_[2].child->kill();
    EXPECT_TRUE(waiting->receivesNothing());
    redis_.start();

    EXPECT_EQ(waiting->receive(5s), joinedAlone);
    for (int i = 0; i < kept; ++i)
        ASSERT_EQ(b->receive(5s), frame("a", i)) << i;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(a->receive(5s), frame("b", i)) << i;
    a->sendText(R"({"type":"offer","after":"restart"})");
    EXPECT_EQ(b->receive(5s), R"({"type":"offer","after":"restart"})");
    b->sendText(R"({"type":"answer","after":"restart"})");
    EXPECT_EQ(a->receive(5s), R"({"type":"answer","after":"restart"})");
    auto second = connectTo(0);
    EXPECT_EQ(join(*second, "w", "s"), joinedWith("w"));
    EXPECT_EQ(waiting->receive(5s), peerJoined("s"));
    EXPECT_TRUE(second->receivesNothing());

    // The member whose partner's instance died hears of it once the wait has run out.
    EXPECT_EQ(x->receive(5s), peerLeft);
    auto newcomer = connectTo(1);
    EXPECT_EQ(join(*newcomer, "q", "z"), joinedWith("x"));
    EXPECT_EQ(x->receive(5s), peerJoined("z"));
    EXPECT_TRUE(a->receivesNothing() && b->receivesNothing()); // never peer-left, nothing twice

    const auto count = [&](int i, const std::string& family, const std::string& result) {
        return metric(instances_[i], "murva_cluster_failover_" + family + R"(_total{result=")" + result + "\"}");
    };
    EXPECT_EQ(count(0, "pairs", "kept"), "1");
    EXPECT_EQ(count(0, "pairs", "ended"), "1");
    EXPECT_EQ(count(0, "frames", "sent"), std::to_string(kept));
    EXPECT_EQ(count(0, "frames", "dropped"), "2");
    EXPECT_EQ(count(1, "pairs", "kept"), "1");
    EXPECT_EQ(count(1, "frames", "sent"), "3");
    EXPECT_EQ(count(1, "joins", "served"), "1");
}

// Redis gone for longer than the wait: the join that waited is refused then, the pair across instances ends on
// both sides then, and once Redis is back the rooms are put back as after any restart. A reload sets the wait,
// while the other cluster keys wait for a restart.
TEST_F(SharedRooms, WhenTheWaitRunsOutJoinsAreRefusedAndPairsEnd) {
    const std::string timing = R"("heartbeat_ms": 100, "instance_timeout_ms": 1000, "failover_wait_ms": 0)";
    for (int i = 0; i < 2; ++i)
        startInstance(timing);
    for (auto& instance : instances_) {
        writeConfig(instance, instance.port,
                    R"("heartbeat_ms": 200, "instance_timeout_ms": 1000, )"
                    R"("failover_wait_ms": 1000)");
        ASSERT_EQ(::kill(instance.child->pid(), SIGHUP), 0);
        EXPECT_TRUE(instance.child->waitForStdout("cluster.failover_wait_ms applied"));
        EXPECT_NE(instance.child->stderrText().find("kept until a restart: cluster"), std::string::npos);
    }
    auto a = WsClient::connect(instances_[0].port), b = WsClient::connect(instances_[1].port);
    ASSERT_EQ(join(*a, "p", "a"), joinedAlone);
    ASSERT_EQ(join(*b, "p", "b"), joinedWith("a"));
    ASSERT_EQ(a->receive(5s), peerJoined("b"));

    redis_.stop();
    ASSERT_TRUE(waitUntil([&] { return !ready(instances_[0]); }, 3s));
    auto late = WsClient::connect(instances_[0].port);
    late->sendText(R"({"type":"join","room":"later","nick":"l"})");
    EXPECT_TRUE(a->receivesNothing(500ms) && late->receivesNothing(0ms)); // both wait
    EXPECT_EQ(late->receive(3s), atCapacity);
    EXPECT_EQ(a->receive(3s), peerLeft);
    EXPECT_EQ(b->receive(3s), peerLeft);

    redis_.start();
    EXPECT_TRUE(waitUntil([&] { return ready(instances_[0]) && ready(instances_[1]); }, 5s));
    const auto toldA = a->receive(1s), toldB = b->receive(1s);
    EXPECT_TRUE(toldA == peerJoined("b") ? !toldB : toldB == peerJoined("a"))
        << toldA.value_or("-") << toldB.value_or("-");
    a->sendText(R"({"type":"offer"})");
    EXPECT_EQ(b->receive(5s), R"({"type":"offer"})");
    EXPECT_EQ(join(*late, "later", "l"), joinedAlone);
    EXPECT_EQ(metric(instances_[0], R"(murva_cluster_failover_joins_total{result="refused"})"), "1");
    EXPECT_EQ(metric(instances_[0], R"(murva_cluster_failover_pairs_total{result="ended"})"), "1");
}

// Redis that does not answer for a while (paused) comes back with what it held, as a promoted replica does: a
// pair across instances goes on, each member's frames sent meanwhile arriving in order; a resume that comes
// meanwhile waits and gets what its partner sent; that partner, whose partner's slot was held throughout, hears
// peer-back and never peer-left.
TEST_F(SharedRooms, APairAndAResumeOutliveAPausedRedis) {
    const std::string timing = R"("heartbeat_ms": 100, "instance_timeout_ms": 1000, "failover_wait_ms": 8000)";
    for (int i = 0; i < 2; ++i)
        startInstance(timing);
    auto ann = WsClient::connect(instances_[0].port), ben = WsClient::connect(instances_[1].port);
    ann->sendText(R"({"type":"join","room":"r","nick":"ann","resume":true})");
    const auto session = nlohmann::json::parse(ann->receive(5s).value_or("{}")).value("session", "");
    ben->sendText(R"({"type":"join","room":"r","nick":"ben","resume":true})");
    ASSERT_TRUE(ben->receive(5s));
    ASSERT_EQ(ann->receive(5s), peerJoined("ben"));
    ann->abort();
    ASSERT_EQ(ben->receive(5s), R"({"type":"peer-away"})");
    auto c = WsClient::connect(instances_[0].port), d = WsClient::connect(instances_[1].port);
    ASSERT_EQ(join(*c, "pair", "c"), joinedAlone);
    ASSERT_EQ(join(*d, "pair", "d"), joinedWith("c"));
    ASSERT_EQ(c->receive(5s), peerJoined("d"));

    redis_.pause();
    ASSERT_TRUE(waitUntil([&] { return !ready(instances_[0]) && !ready(instances_[1]); }, 3s));
    ben->sendText(R"({"type":"offer","n":1})");
    for (int i = 0; i < 3; ++i) {
        c->sendText(R"({"from":"c","n":)" + std::to_string(i) + "}");
        d->sendText(R"({"from":"d","n":)" + std::to_string(i) + "}");
    }
    auto back = WsClient::connect(instances_[0].port);
    back->sendText(R"({"type":"join","room":"r","nick":"x","session":")" + session + R"("})");
    EXPECT_TRUE(back->receivesNothing());
    redis_.resume();

    const auto reply = nlohmann::json::parse(back->receive(8s).value_or("{}"));
    EXPECT_EQ(reply.value("type", ""), "joined");
    EXPECT_EQ(reply.value("peer", ""), "ben");
    EXPECT_EQ(back->receive(5s), R"({"type":"offer","n":1})");
    EXPECT_EQ(ben->receive(5s), R"({"type":"peer-back"})");
    back->sendText(R"({"type":"answer"})");
    EXPECT_EQ(ben->receive(5s), R"({"type":"answer"})");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(d->receive(5s), R"({"from":"c","n":)" + std::to_string(i) + "}");
        EXPECT_EQ(c->receive(5s), R"({"from":"d","n":)" + std::to_string(i) + "}");
    }
    EXPECT_TRUE(ben->receivesNothing() && c->receivesNothing() && d->receivesNothing());
}
