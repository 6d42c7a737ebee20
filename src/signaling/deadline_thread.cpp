// The deadline thread: sleeps until the earliest deadline, runs the callback outside its lock, re-arms.
#include "signaling/deadline_thread.hpp"

namespace murva {

DeadlineThread::~DeadlineThread() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void DeadlineThread::arm(Time at) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || (next_ && *next_ <= at))
            return;
        next_ = at;
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
    }
    wake_.notify_all();
}

void DeadlineThread::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (!next_) {
            wake_.wait(lock);
            continue;
        }
        if (wake_.wait_until(lock, *next_) != std::cv_status::timeout && std::chrono::steady_clock::now() < *next_)
            continue; // woken early: re-read the deadline, it may be sooner now
        next_.reset();
        lock.unlock();
        std::optional<Time> again;
        try {
            again = due_(std::chrono::steady_clock::now());
        } catch (...) {
            // what throws ends this round only; the deadlines it did not handle come round again
            again = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        }
        lock.lock();
        if (again && (!next_ || *again < *next_))
            next_ = again;
    }
}

} // namespace murva
