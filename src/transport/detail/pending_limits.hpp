// The caps on connections that have not upgraded yet: how many there are in all and per client key.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace rtc::detail {

class PendingLimits {
public:
    // Counts one more connection in all; false (and nothing counted) when `cap` (0: none) is reached.
    bool enter(std::size_t cap);
    void leave();

    // Counts one more connection for `key`; false (and nothing counted) when `cap` (0: none) is reached.
    bool enterClient(const std::string& key, std::size_t cap);
    void leaveClient(const std::string& key);

private:
    std::mutex mutex_;
    std::size_t total_ = 0;
    std::unordered_map<std::string, std::size_t> clients_; // only keys with a connection
};

} // namespace rtc::detail
