// The sliding-window counts per key, and the eviction that keeps the table within its capacity.
#include "signaling/rate_limiter.hpp"

#include <algorithm>

namespace murva {

RateLimiter::RateLimiter(std::size_t limit, Clock::duration window, std::size_t capacity)
    : limit_(limit), window_(window), capacity_(std::max<std::size_t>(capacity, 1)) {}

std::size_t RateLimiter::countInWindow(const Entry& entry, Clock::time_point now) const {
    return static_cast<std::size_t>(
        std::count_if(entry.times.begin(), entry.times.end(), [&](Clock::time_point t) { return t > now - window_; }));
}

bool RateLimiter::overLimitLocked(std::string_view key, Clock::time_point now) const {
    if (limit_ == 0)
        return false;
    const auto found = index_.find(key);
    return found != index_.end() && countInWindow(*found->second, now) >= limit_;
}

void RateLimiter::recordLocked(std::string_view key, Clock::time_point now) {
    if (limit_ == 0)
        return;
    // Keys whose latest event has left the window hold nothing that counts; the oldest are at the front.
    while (!order_.empty() && order_.front().newest <= now - window_) {
        index_.erase(order_.front().key);
        order_.pop_front();
    }

    auto found = index_.find(key);
    if (found == index_.end()) {
        if (order_.size() >= capacity_) {
            index_.erase(order_.front().key);
            order_.pop_front();
        }
        order_.push_back(Entry{std::string(key), {}, now});
        found = index_.emplace(order_.back().key, std::prev(order_.end())).first;
    } else {
        order_.splice(order_.end(), order_, found->second);
    }

    Entry& entry = *found->second;
    entry.newest = std::max(entry.newest, now);
    if (entry.times.size() < limit_) {
        entry.times.push_back(now);
    } else {
        // Full: the oldest event is the one that can no longer matter.
        *std::min_element(entry.times.begin(), entry.times.end()) = now;
    }
}

bool RateLimiter::overLimit(std::string_view key, Clock::time_point now) const {
    std::lock_guard lock(mutex_);
    return overLimitLocked(key, now);
}

void RateLimiter::record(std::string_view key, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    recordLocked(key, now);
}

bool RateLimiter::tryAcquire(std::string_view key, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (overLimitLocked(key, now))
        return false;
    recordLocked(key, now);
    return true;
}

std::size_t RateLimiter::size() const {
    std::lock_guard lock(mutex_);
    return order_.size();
}

void RateLimiter::setLimit(std::size_t limit) {
    std::lock_guard lock(mutex_);
    limit_ = limit;
    if (limit_ == 0) {
        order_.clear();
        index_.clear();
    }
}

} // namespace murva
