// The ends of limited memberships, and the sweep that keeps closed clients' ends from piling up.
#include "signaling/deadlines.hpp"

#include <vector>

namespace murva {

void Deadlines::add(Clock::time_point when, std::weak_ptr<Client> client) {
    {
        std::lock_guard lock(mutex_);
        // A token may grant days: the ends of clients that left meanwhile are dropped once they are half the map.
        if (due_.size() >= 2 * sizeAfterSweep_ + 64) {
            std::erase_if(due_, [](const auto& entry) { return entry.second.expired(); });
            sizeAfterSweep_ = due_.size();
        }
        due_.emplace(when, std::move(client));
    }
    thread_.arm(when);
}

std::optional<DeadlineThread::Time> Deadlines::runDue(DeadlineThread::Time now) {
    std::vector<std::shared_ptr<Client>> ready;
    std::optional<DeadlineThread::Time> next;
    {
        std::lock_guard lock(mutex_);
        while (!due_.empty() && due_.begin()->first <= now) {
            if (auto client = due_.begin()->second.lock())
                ready.push_back(std::move(client));
            due_.erase(due_.begin());
        }
        if (!due_.empty())
            next = due_.begin()->first;
    }
    // One action that throws must not cost the others their end.
    for (const auto& client : ready) {
        try {
            action_(client);
        } catch (...) {
        }
    }
    return next;
}

} // namespace murva
