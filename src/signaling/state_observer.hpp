// What the signaling state reports as it changes: the console's join and leave lines hang on this.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace murva {

struct StateCounts {
    std::size_t rooms = 0;
    std::size_t clients = 0;
};

// joined and left run under the state's lock, so what they report keeps the state's order; they must only
// queue. `client` is the member's resolved address. unlocked runs after a thread has released the lock, outside
// it. refused runs outside the lock, with the reason as the metrics name it (per_ip, unauthorized, ...).
class StateObserver {
public:
    virtual ~StateObserver() = default;
    virtual void joined(const StateCounts&, const std::string& /*client*/) {}
    virtual void left(const StateCounts&, const std::string& /*client*/) {}
    virtual void resumed(const StateCounts&, const std::string& /*client*/) {}
    virtual void unlocked() {}
    virtual void refused(std::string_view /*reason*/, const std::string& /*client*/) {}
};

} // namespace murva
