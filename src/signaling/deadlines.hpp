// Memberships granted for a limited time: one thread, started with the first, that sleeps until the next end
// and runs what it was given for it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace murva {

class Deadlines {
public:
    using Clock = std::chrono::steady_clock;

    Deadlines() = default;
    ~Deadlines(); // what has not come due is dropped
    Deadlines(const Deadlines&) = delete;
    Deadlines& operator=(const Deadlines&) = delete;

    // Runs `action` on the deadlines' thread at `when`, outside every lock of ours. Safe from any thread.
    void add(Clock::time_point when, std::function<void()> action);

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<Clock::time_point, std::function<void()>> due_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace murva
