// Events per client address in a sliding window (password failures, joins), in a table of bounded size.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace murva {

// Counts events per key (a client address) over the last `window`, exactly: each key keeps the times of its
// latest events, at most `limit` of them, since older ones can no longer decide anything. The table holds at
// most `capacity` keys; when a new key finds it full, the key whose latest event is oldest goes first, and keys
// with nothing left in the window are dropped as time passes. Memory is at most about
// capacity * (limit * 8 bytes + the key + ~100 bytes), so callers keep `limit` modest (thousands at most).
//
// Thread-safe. Time is passed in, so callers use std::chrono::steady_clock::now() and tests need no sleeps; it
// should not go backwards by more than the scheduling jitter between callers.
class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t defaultCapacity = 65536;

    // limit 0 turns the limiter off: nothing is stored and nothing is ever over the limit.
    explicit RateLimiter(std::size_t limit, Clock::duration window = std::chrono::seconds(60),
                         std::size_t capacity = defaultCapacity);

    // True when `key` already has `limit` events in (now - window, now]. Records nothing. For password
    // failures: ask before checking the password, record() after a wrong one. (Checks racing on several
    // threads can let one extra wrong guess per thread through; never more.)
    bool overLimit(std::string_view key, Clock::time_point now) const;

    // One event of `key` at `now`.
    void record(std::string_view key, Clock::time_point now);

    // overLimit() and record() in one step: false, recording nothing, when over the limit; otherwise records
    // and returns true. Refused attempts are not counted, so a client that keeps trying still gets `limit`
    // accepted per window. For joins of any kind.
    bool tryAcquire(std::string_view key, Clock::time_point now);

    // Keys held at the moment.
    std::size_t size() const;

    // A new limit for what comes next (a reload); the events already recorded still count.
    void setLimit(std::size_t limit);

private:
    struct Entry {
        std::string key;
        std::vector<Clock::time_point> times; // at most limit_ of them, in no particular order
        Clock::time_point newest;
    };
    using Order = std::list<Entry>; // least recently recorded first

    std::size_t countInWindow(const Entry& entry, Clock::time_point now) const;
    bool overLimitLocked(std::string_view key, Clock::time_point now) const;
    void recordLocked(std::string_view key, Clock::time_point now);

    std::size_t limit_; // guarded by mutex_
    const Clock::duration window_;
    const std::size_t capacity_;

    mutable std::mutex mutex_;
    Order order_;
    std::unordered_map<std::string_view, Order::iterator> index_; // views of the keys held in order_
};

} // namespace murva
