// The open-loop workload: its clock, its numbered frames and a short run against a real server.
#include <algorithm>
#include <limits>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "latency.hpp"
#include "support/signal_server.hpp"
#include "workloads.hpp"

namespace {

using namespace std::chrono;

TEST(OpenLoopSchedule, LanesTogetherSendEvenlyAtTheRateWithoutDrift) {
    struct Case {
        double rate;
        unsigned lanes;
    };
    for (const Case c : {Case{5000, 2}, Case{40000, 2}, Case{3, 1}, Case{40000, 3}}) {
        const auto start = bench::Clock::now();
        std::vector<bench::OpenLoopSchedule> lanes;
        for (unsigned lane = 0; lane < c.lanes; ++lane)
            lanes.emplace_back(start, c.rate, c.lanes, lane);
        std::vector<bench::Clock::time_point> due;
        for (const auto& lane : lanes)
            for (uint64_t n = 0; n < 1000; ++n)
                due.push_back(lane.at(n));
        std::sort(due.begin(), due.end());
        const double gap = 1e9 / c.rate;
        for (std::size_t i = 1; i < due.size(); ++i)
            ASSERT_NEAR((duration<double, std::nano>(due[i] - due[i - 1]).count()), gap, 2)
                << "rate " << c.rate << ", send " << i;
        // A long run stays on the clock: the ten-millionth send of lane 0 is due exactly where the rate says.
        const double late = duration<double>(lanes[0].at(10'000'000) - start).count();
        EXPECT_NEAR(late, 10'000'000.0 * c.lanes / c.rate, 1e-6) << "rate " << c.rate;
    }
}

TEST(NumberedFrame, CarriesItsSequenceAndStaysACandidateOfTheAskedSize) {
    for (const std::size_t bytes : {std::size_t{0}, std::size_t{240}, std::size_t{280}, std::size_t{4096}}) {
        std::string frame = bench::numberedFrame(bytes);
        EXPECT_GE(frame.size(), bytes);
        if (bytes >= 280) {
            EXPECT_EQ(frame.size(), bytes) << "a frame with room for the number keeps its size";
        }
        const std::size_t size = frame.size();
        for (const uint64_t sequence :
             {uint64_t{0}, uint64_t{7}, uint64_t{1234567890123}, uint64_t{9999999999999999}}) {
            bench::setSequence(frame, sequence);
            EXPECT_EQ(frame.size(), size);
            EXPECT_EQ(bench::sequenceOf(frame), sequence) << bytes << " bytes";
            const auto json = nlohmann::json::parse(frame, nullptr, false);
            ASSERT_FALSE(json.is_discarded()) << frame;
            EXPECT_EQ(json.value("type", ""), "candidate");
        }
    }
    // Frames that carry no number are told apart from frame 0.
    for (const std::string& other :
         {bench::candidateFrame(280), std::string(R"({"type":"joined","peer":"b"})"), std::string(R"({"pad":"12"})")})
        EXPECT_EQ(bench::sequenceOf(other), std::nullopt) << other;
}

TEST(LatencyWorkload, OffersTheRateAndAnswersEveryRoundTripOfTheWindow) {
    murva::ServerSettings settings;
    settings.maxConnectionsPerIp = 0;
    testing_support::SignalServer server(settings);
    bench::Target target;
    target.port = server.port();
    bench::Options options;
    options.pairs = 8;
    options.rate = 800;
    options.warmup = 0.2;
    options.duration = 1;
    options.timeout = 20;
    options.roomPrefix = "latency-test";
    const auto result = bench::runLatency(target, options);

    EXPECT_TRUE(result.value("complete", false)) << result.dump();
    EXPECT_EQ(result.value("unanswered", -1), 0);
    // Due sends in the window follow the clock, not the replies: rate x duration of them, give or take one per lane.
    EXPECT_NEAR(result.value("due_in_window", 0.0), 800, options.threads);
    EXPECT_NEAR(result.value("achieved_per_s", 0.0), 800, 200) << result.dump(); // a loaded machine may stall a while
    const auto& latency = result["latency_us"];
    EXPECT_GT(latency.value("p50", 0.0), 0);
    EXPECT_LE(latency.value("p50", 0.0), latency.value("p999", 0.0));
    EXPECT_LE(latency.value("p999", 0.0), latency.value("max", 0.0));
    EXPECT_GE(result["send_lag_us"].value("p50", -1.0), 0);
}

} // namespace
