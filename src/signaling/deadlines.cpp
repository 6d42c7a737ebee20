// The deadlines' thread.
#include "signaling/deadlines.hpp"

namespace murva {

Deadlines::~Deadlines() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void Deadlines::add(Clock::time_point when, std::function<void()> action) {
    {
        std::lock_guard lock(mutex_);
        due_.emplace(when, std::move(action));
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
    }
    wake_.notify_all();
}

void Deadlines::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (due_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const auto next = due_.begin()->first;
        if (Clock::now() < next) {
            wake_.wait_until(lock, next);
            continue;
        }
        auto action = std::move(due_.begin()->second);
        due_.erase(due_.begin());
        lock.unlock();
        action();
        lock.lock();
    }
}

} // namespace murva
