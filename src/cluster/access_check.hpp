// Whether the Redis user this instance logs in as may run everything the instance runs there, asked at start.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cluster/redis_reply.hpp"

namespace murva {

// One command this instance runs, with a key or channel of each kind it uses it on; never run, only judged.
struct AccessProbe {
    std::vector<std::string> command;
    std::string what; // "HSET on keys murva:room:*": what an operator grants
};

// Every command the instance sends itself and the registry's scripts call, for `instance`.
std::vector<AccessProbe> accessProbes(std::string_view instance);

// Sends one command and waits (bounded) for its reply; an error reply when none came.
using BlockingCall = std::function<RedisReply(std::vector<std::string>)>;

// Empty when `user` ("" = the default user) may run every probe, or when Redis cannot say (before 7.0, which
// has neither ACL DRYRUN nor redis.acl_check_cmd); otherwise what it may not run. ACL DRYRUN answers for users
// allowed to run it; others are judged by a script (EVAL, which the instance needs anyway) that checks each
// probe against the caller's own permissions. Nothing is written.
std::string missingAccess(const BlockingCall& call, const std::string& user, std::string_view instance);

} // namespace murva
