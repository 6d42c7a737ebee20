// The system call counter: calls are counted per group, over every thread, and only between start and stop.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include "syscalls.hpp"

namespace {

TEST(SyscallCounter, CountsEachGroupOnEveryThreadOnlyInsideTheWindow) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    char byte = 'x';
    std::atomic<int> phase{0};
    // A second thread that exists before the counter opens, and writes only when told.
    std::thread writer([&] {
        while (phase.load() == 0)
            std::this_thread::yield();
        for (int i = 0; i < 40; ++i)
            ASSERT_EQ(::write(fds[1], &byte, 1), 1);
        phase.store(2);
    });

    bench::SyscallCounter counter(static_cast<int>(::getpid()));
    if (!counter.error().empty()) {
        phase.store(1);
        writer.join();
        GTEST_SKIP() << counter.error();
    }
    for (int i = 0; i < 20; ++i) // before start: not counted
        ASSERT_EQ(::write(fds[1], &byte, 1), 1);
    counter.start();
    phase.store(1);
    while (phase.load() != 2)
        std::this_thread::yield();
    for (int i = 0; i < 25; ++i)
        ASSERT_EQ(::read(fds[0], &byte, 1), 1);
    counter.stop();
    for (int i = 0; i < 20; ++i) // after stop: not counted
        ASSERT_EQ(::read(fds[0], &byte, 1), 1);
    writer.join();

    // A sanitizer's own threads may add a call or two; the 20 calls before start or after stop may not count.
    auto counts = counter.counts();
    EXPECT_GE(counts["send"], 40u) << "the writer thread's writes";
    EXPECT_LT(counts["send"], 60u);
    EXPECT_GE(counts["recv"], 25u);
    EXPECT_LT(counts["recv"], 45u);
    EXPECT_GE(counts["total"], counts["send"] + counts["recv"]);
    ::close(fds[0]);
    ::close(fds[1]);
}

} // namespace
