// Cross-instance workloads: member B reaches the second instance, so every pair meets through Redis.
#include <thread>

#include <gtest/gtest.h>

#include "probe.hpp"
#include "support/process.hpp"
#include "support/redis_server.hpp"
#include "workloads.hpp"

namespace {

using testing_support::ChildProcess;

std::unique_ptr<ChildProcess> startInstance(const testing_support::TempDir& dir, const std::string& name, uint16_t port,
                                            const std::string& redis) {
    dir.write(name + ".json", R"({"port": )" + std::to_string(port) + R"(, "bind_address": "127.0.0.1",
        "max_connections_per_ip": 0, "log_level": "none", "cluster": {"redis": ")" +
                                  redis + R"(/0"}})");
    const testing_support::ProcessOptions options{dir.path(), {name + ".json"}, {}, {}, {}};
    auto child = std::make_unique<ChildProcess>(MURVA_SIGNAL_BINARY, options);
    EXPECT_TRUE(child->waitForStdout("listening on")) << child->stdoutText() << child->stderrText();
    for (int i = 0; i < 200 && !bench::serverReady(port); ++i) // joins are taken once Redis has answered
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(bench::serverReady(port));
    return child;
}

TEST(ClusterWorkloads, PairsSpanTwoInstancesAndTheirFramesCrossRedis) {
    testing_support::RedisServer redis;
    testing_support::TempDir dir;
    bench::Target target;
    target.port = testing_support::freeLoopbackPort();
    auto first = startInstance(dir, "one", target.port, redis.url());
    target.portB = testing_support::freeLoopbackPort();
    auto second = startInstance(dir, "two", target.portB, redis.url());
    target.serverPid = first->pid();
    target.morePids = {second->pid()};

    bench::Options options;
    options.pairs = 4;
    options.warmup = 0.1;
    options.duration = 0.5;
    options.clients = 40;
    options.concurrency = 8;
    options.timeout = 20;
    options.roomPrefix = "cluster-test";
    const auto stream = bench::runStream(target, options);
    EXPECT_EQ(stream.value("workload", ""), "stream-cluster");
    EXPECT_TRUE(stream.value("complete", false)) << stream.dump();
    EXPECT_GT(stream.value("frames", 0u), 0u);
    EXPECT_TRUE(stream["server_cpu_s"].is_number()) << "both instances' CPU is read";
    // Frames to a member on another instance are published to that instance's channel.
    const std::string stats = redis.command({"INFO", "commandstats"});
    EXPECT_NE(stats.find("cmdstat_publish:calls="), std::string::npos) << stats;

    options.roomPrefix = "cluster-test-joins";
    const auto joins = bench::runJoins(target, options);
    EXPECT_EQ(joins.value("workload", ""), "joins-cluster");
    EXPECT_TRUE(joins.value("complete", false)) << joins.dump();
    EXPECT_EQ(joins.value("out_of_order", 1u), 0u);
}

} // namespace
