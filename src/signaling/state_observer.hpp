// What the signaling state reports as it changes: the console's join and leave lines hang on this.
#pragma once

#include <cstddef>

namespace murva {

struct StateCounts {
    std::size_t rooms = 0;
    std::size_t clients = 0;
};

// joined and left run under the state's lock, so what they report keeps the state's order; they must only
// queue. unlocked runs after a thread has released the lock, outside it.
class StateObserver {
public:
    virtual ~StateObserver() = default;
    virtual void joined(const StateCounts&) {}
    virtual void left(const StateCounts&) {}
    virtual void resumed(const StateCounts&) {}
    virtual void unlocked() {}
};

} // namespace murva
