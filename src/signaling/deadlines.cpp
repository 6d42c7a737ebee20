// The deadlines' thread, and the sweep that keeps closed clients' ends from piling up.
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

void Deadlines::add(Clock::time_point when, std::weak_ptr<Client> client) {
    {
        std::lock_guard lock(mutex_);
        // A token may grant days: the ends of clients that left meanwhile are dropped once they are half the map.
        if (due_.size() >= 2 * sizeAfterSweep_ + 64) {
            std::erase_if(due_, [](const auto& entry) { return entry.second.expired(); });
            sizeAfterSweep_ = due_.size();
        }
        due_.emplace(when, std::move(client));
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
        const auto client = due_.begin()->second.lock();
        due_.erase(due_.begin());
        if (!client)
            continue;
        lock.unlock();
        action_(client);
        lock.lock();
    }
}

} // namespace murva
