// The stream workload with an offered rate: frames go out on the clock, and a rate the run falls short of fails it.
#include <string>

#include <gtest/gtest.h>

#include "support/signal_server.hpp"
#include "workloads.hpp"

namespace {

TEST(PacedStream, RelaysTheOfferedRateAndFailsARunThatFallsShort) {
    murva::ServerSettings settings;
    settings.maxConnectionsPerIp = 0;
    testing_support::SignalServer server(settings);
    bench::Target target;
    target.port = server.port();
    struct Case {
        std::size_t pairs, window;
        double rate;
        bool reached; // one frame in flight at a time cannot come near a million per second
    };
    // Three pairs over two threads: the rate is spread over the pairs, not the threads.
    for (const Case c : {Case{3, 8, 2000, true}, Case{1, 1, 1e6, false}}) {
        bench::Options options;
        options.pairs = c.pairs;
        options.window = c.window;
        options.rate = c.rate;
        options.warmup = 0.2;
        options.duration = 1;
        options.timeout = 20;
        options.roomPrefix = "paced-" + std::to_string(c.pairs);
        const auto result = bench::runStream(target, options);
        SCOPED_TRACE(result.dump());

        EXPECT_EQ(result.value("offered_per_s", 0.0), c.rate);
        EXPECT_EQ(result.value("failures", 1), 0);
        EXPECT_EQ(result.value("complete", !c.reached), c.reached);
        if (c.reached) {
            // Unpaced, these pairs relay far more; a loaded machine may stall a while, and the backlog follows.
            EXPECT_NEAR(result.value("frames_per_s", 0.0), c.rate, 0.15 * c.rate);
        } else {
            EXPECT_GT(result.value("frames", 0u), 0u) << "frames still flow, as fast as the window allows";
            EXPECT_NE(result.value("stop_reason", "").find("below the offered rate"), std::string::npos);
        }
    }
}

} // namespace
