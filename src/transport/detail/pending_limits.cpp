// The caps on connections that have not upgraded yet.
#include "transport/detail/pending_limits.hpp"

namespace rtc::detail {

bool PendingLimits::enter(std::size_t cap) {
    std::lock_guard lock(mutex_);
    if (cap != 0 && total_ >= cap)
        return false;
    ++total_;
    return true;
}

void PendingLimits::leave() {
    std::lock_guard lock(mutex_);
    --total_;
}

bool PendingLimits::enterClient(const std::string& key, std::size_t cap) {
    std::lock_guard lock(mutex_);
    auto& count = clients_[key];
    if (cap != 0 && count >= cap)
        return false;
    ++count;
    return true;
}

void PendingLimits::leaveClient(const std::string& key) {
    std::lock_guard lock(mutex_);
    const auto it = clients_.find(key);
    if (it != clients_.end() && --it->second == 0)
        clients_.erase(it);
}

} // namespace rtc::detail
