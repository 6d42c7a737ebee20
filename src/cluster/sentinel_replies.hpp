// What the sentinels and a located server answer, read as values: the master's address, a switch of master
// announced on the sentinels' channel, and a server's role.
#pragma once

#include <optional>
#include <string_view>

#include "cluster/redis_reply.hpp"
#include "config/host_port.hpp"

namespace murva {

// The channel sentinels announce a completed failover on.
inline constexpr std::string_view switchMasterChannel = "+switch-master";

// SENTINEL get-master-addr-by-name: [ip, port], or nil when the sentinel monitors no master by that name.
// Empty for nil, an error, or anything malformed.
std::optional<HostPort> masterAddress(const RedisReply& reply);

// A +switch-master payload, "name oldip oldport newip newport": the new address when it is about `masterName`.
std::optional<HostPort> switchedMaster(std::string_view payload, std::string_view masterName);

// ROLE: true only for a master (a replica, a sentinel or an error is not one).
bool isMasterRole(const RedisReply& reply);

} // namespace murva
