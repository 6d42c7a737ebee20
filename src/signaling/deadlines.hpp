// Memberships granted for a limited time: their ends, run on a DeadlineThread that wakes for the next one and
// hands the client to the action given at construction.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "signaling/client.hpp"
#include "signaling/deadline_thread.hpp"

namespace murva {

class Deadlines {
public:
    using Clock = std::chrono::steady_clock;
    using Action = std::function<void(const std::shared_ptr<Client>&)>;

    explicit Deadlines(Action action)
        : action_(std::move(action)), thread_([this](DeadlineThread::Time now) { return runDue(now); }) {}
    Deadlines(const Deadlines&) = delete;
    Deadlines& operator=(const Deadlines&) = delete;

    // At `when`, runs the action for `client` on the deadlines' thread, outside every lock of ours, unless the
    // client is gone by then. Safe from any thread.
    void add(Clock::time_point when, std::weak_ptr<Client> client);

private:
    // The ends that have come, each acted on; the next end still to come, if any.
    std::optional<DeadlineThread::Time> runDue(DeadlineThread::Time now);

    const Action action_;
    std::mutex mutex_;
    std::multimap<Clock::time_point, std::weak_ptr<Client>> due_;
    std::size_t sizeAfterSweep_ = 0;
    DeadlineThread thread_; // last: stopped first, while what it calls still exists; what has not come is dropped
};

} // namespace murva
