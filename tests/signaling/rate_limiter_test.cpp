// Sliding-window counts per client address: the password-failure and join limits.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "signaling/rate_limiter.hpp"

using murva::RateLimiter;
using namespace std::chrono_literals;

namespace {
const RateLimiter::Clock::time_point t0{};
}

TEST(RateLimiter, TheEleventhWrongGuessInAMinuteIsRefusedUntilTheWindowSlides) {
    RateLimiter failures(10);
    for (int i = 0; i < 10; ++i) {
        ASSERT_FALSE(failures.overLimit("198.51.100.7", t0 + i * 1s)) << i;
        failures.record("198.51.100.7", t0 + i * 1s);
    }
    EXPECT_TRUE(failures.overLimit("198.51.100.7", t0 + 10s));
    EXPECT_TRUE(failures.overLimit("198.51.100.7", t0 + 60s - 1ms));
    EXPECT_FALSE(failures.overLimit("198.51.100.8", t0 + 10s));
    EXPECT_FALSE(failures.overLimit("198.51.100.7", t0 + 60s)); // the first failure left the window
    failures.record("198.51.100.7", t0 + 60s);
    EXPECT_TRUE(failures.overLimit("198.51.100.7", t0 + 60s));
    EXPECT_FALSE(failures.overLimit("198.51.100.7", t0 + 61s)); // 9 failures in the last minute

    RateLimiter off(0);
    for (int i = 0; i < 100; ++i)
        EXPECT_TRUE(off.tryAcquire("198.51.100.7", t0));
    EXPECT_EQ(off.size(), 0u);
}

TEST(RateLimiter, TryAcquireCountsOnlyWhatItAcceptsAndIsExactAcrossThreads) {
    RateLimiter joins(3);
    EXPECT_TRUE(joins.tryAcquire("a", t0));
    EXPECT_TRUE(joins.tryAcquire("a", t0 + 10s));
    EXPECT_TRUE(joins.tryAcquire("a", t0 + 20s));
    for (auto t = t0 + 20s; t < t0 + 60s; t += 5s)
        EXPECT_FALSE(joins.tryAcquire("a", t));
    EXPECT_TRUE(joins.tryAcquire("a", t0 + 60s)); // refusals were not counted
    EXPECT_FALSE(joins.tryAcquire("a", t0 + 60s));

    RateLimiter shared(1000);
    std::atomic<int> accepted{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < 400; ++j)
                accepted += shared.tryAcquire("a", t0) ? 1 : 0;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(accepted, 1000);
}

TEST(RateLimiter, TheTableStaysBoundedAndDropsTheLeastRecentlyActiveFirst) {
    RateLimiter limiter(2, 60s, 100);
    const auto flood = [&](int from, int to, RateLimiter::Clock::time_point at) {
        for (int i = from; i < to; ++i) {
            limiter.record("10." + std::to_string(i), at);
            limiter.record("10." + std::to_string(i), at);
        }
    };
    limiter.record("offender", t0);
    limiter.record("offender", t0);
    flood(0, 99, t0 + 1s);
    limiter.record("offender", t0 + 2s); // first in, but active again
    flood(99, 149, t0 + 3s);
    EXPECT_EQ(limiter.size(), 100u);
    EXPECT_TRUE(limiter.overLimit("offender", t0 + 3s));
    EXPECT_FALSE(limiter.overLimit("10.49", t0 + 3s)); // evicted
    EXPECT_TRUE(limiter.overLimit("10.50", t0 + 3s));

    flood(149, 10000, t0 + 4s);
    EXPECT_EQ(limiter.size(), 100u);
    EXPECT_TRUE(limiter.overLimit("10.9900", t0 + 4s)); // the latest offenders are still held
    EXPECT_FALSE(limiter.overLimit("offender", t0 + 4s));
    flood(20000, 20001, t0 + 70s);
    EXPECT_EQ(limiter.size(), 1u); // keys with nothing left in the window went as time passed
}
