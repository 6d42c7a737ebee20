// One thread that runs a callback when the earliest armed deadline comes: the held slots' grace periods and the
// waits of joins for Redis, and the ends of memberships a token limits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace murva {

class DeadlineThread {
public:
    using Time = std::chrono::steady_clock::time_point;

    // `due` runs on the thread, without any lock of ours, once the armed deadline has passed; it returns the
    // next deadline to wait for, if any. The thread starts with the first arm.
    explicit DeadlineThread(std::function<std::optional<Time>(Time now)> due) : due_(std::move(due)) {}
    ~DeadlineThread(); // stops the thread; a callback running then finishes first

    DeadlineThread(const DeadlineThread&) = delete;
    DeadlineThread& operator=(const DeadlineThread&) = delete;

    // Makes sure `due` runs no later than shortly after `at`. Any thread; may be called under the caller's locks.
    void arm(Time at);

private:
    void run();

    const std::function<std::optional<Time>(Time)> due_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<Time> next_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace murva
