// Memberships granted for a limited time: one thread, started with the first, that sleeps until the next end
// and hands the client to the action given at construction.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "signaling/client.hpp"

namespace murva {

class Deadlines {
public:
    using Clock = std::chrono::steady_clock;
    using Action = std::function<void(const std::shared_ptr<Client>&)>;

    explicit Deadlines(Action action) : action_(std::move(action)) {}
    ~Deadlines(); // what has not come due is dropped
    Deadlines(const Deadlines&) = delete;
    Deadlines& operator=(const Deadlines&) = delete;

    // At `when`, runs the action for `client` on the deadlines' thread, outside every lock of ours, unless the
    // client is gone by then. Safe from any thread.
    void add(Clock::time_point when, std::weak_ptr<Client> client);

private:
    void run();

    const Action action_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<Clock::time_point, std::weak_ptr<Client>> due_;
    std::size_t sizeAfterSweep_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace murva
