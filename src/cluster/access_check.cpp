// The start-up check of the Redis user's permissions: ACL DRYRUN, or a script asking redis.acl_check_cmd.
#include "cluster/access_check.hpp"

#include "cluster/registry_scripts.hpp"

namespace murva {

namespace {

// ARGV holds the probes one after the other, each its length then its words; the answer is the number of the
// first one the caller may not run, 0 when none.
constexpr const char* checkScript = R"lua(
local i, n = 1, 0
while i <= #ARGV do
  n = n + 1
  local length = tonumber(ARGV[i])
  if not redis.acl_check_cmd(unpack(ARGV, i + 1, i + length)) then return n end
  i = i + length + 1
end
return 0
)lua";

std::string denied(const std::string& user, const AccessProbe& probe, const std::string& detail) {
    return "the Redis user \"" + (user.empty() ? std::string("default") : user) + "\" may not run " + probe.what +
           (detail.empty() ? "" : " (" + detail + ")");
}

} // namespace

std::vector<AccessProbe> accessProbes(std::string_view instance) {
    std::vector<AccessProbe> probes;
    const auto add = [&](std::vector<std::string> command, const std::string& target) {
        std::string what = command.front() + (target.empty() ? "" : " on " + target);
        probes.push_back({std::move(command), std::move(what)});
    };
    // The instance's own commands: the heartbeat (SET ... GET reads as well as writes), its removal, the channel.
    const std::string heartbeat = heartbeatKey(instance);
    add({"PING"}, "");
    add({"SET", heartbeat, "v", "NX", "PX", "1000"}, "key " + heartbeat);
    add({"SET", heartbeat, "v", "PX", "1000", "GET"}, "key " + heartbeat);
    add({"DEL", heartbeat}, "key " + heartbeat);
    add({"SUBSCRIBE", instanceChannel(instance)}, "channel " + instanceChannel(instance));
    add({"PUBLISH", instanceChannel("x"), "m"}, "channels " + instanceChannel("*"));
    add({"EVALSHA", joinScript().sha1, "0"}, "");
    add({"EVAL", "return 1", "0"}, "");

    // What the registry's scripts call, on each kind of key they build.
    const struct {
        const char* key;
        const char* pattern;
        std::vector<std::vector<std::string>> uses; // the arguments after the key
    } keys[] = {
        {"murva:room:x",
         "keys murva:room:*",
         {{"HGET", "f"},
          {"HSET", "f", "v"},
          {"HDEL", "f"},
          {"HEXISTS", "f"},
          {"HINCRBY", "f", "1"},
          {"HMGET", "f"},
          {"DEL"},
          {"EXISTS"}}},
        {"murva:held",
         "key murva:held",
         {{"ZSCORE", "m"}, {"ZADD", "1", "m"}, {"ZREM", "m"}, {"ZRANGEBYSCORE", "-inf", "1"}}},
        {"murva:frames:x",
         "keys murva:frames:*",
         {{"LLEN"}, {"RPUSH", "v"}, {"PEXPIREAT", "1"}, {"LRANGE", "0", "-1"}, {"DEL"}}},
        {"murva:rooms", "key murva:rooms", {{"SADD", "m"}, {"SREM", "m"}, {"SCARD"}}},
        {"murva:rooms-of:x",
         "keys murva:rooms-of:*",
         {{"SADD", "m"}, {"SREM", "m"}, {"SMEMBERS"}, {"EXISTS"}, {"DEL"}}},
        {"murva:instances", "key murva:instances", {{"SADD", "m"}, {"SREM", "m"}, {"SMEMBERS"}}},
        {"murva:instance:x", "keys murva:instance:*", {{"EXISTS"}}},
    };
    for (const auto& [key, pattern, uses] : keys)
        for (const auto& use : uses) {
            std::vector<std::string> command{use.front(), key};
            command.insert(command.end(), use.begin() + 1, use.end());
            add(std::move(command), pattern);
        }
    add({"TIME"}, "");
    return probes;
}

std::string missingAccess(const BlockingCall& call, const std::string& user, std::string_view instance) {
    const std::vector<AccessProbe> probes = accessProbes(instance);
    const std::string name = user.empty() ? "default" : user;

    // ACL DRYRUN: "OK", or a text saying what is refused. Users without the right to it (most limited ones)
    // and servers before 7.0 answer with an error to the first.
    bool dryRun = true;
    for (const AccessProbe& probe : probes) {
        std::vector<std::string> command{"ACL", "DRYRUN", name};
        command.insert(command.end(), probe.command.begin(), probe.command.end());
        const RedisReply reply = call(std::move(command));
        if (reply.isError()) {
            dryRun = false;
            break;
        }
        if (reply.type == RedisReply::Type::String)
            return denied(user, probe, reply.text);
    }
    if (dryRun)
        return {};

    std::vector<std::string> command{"EVAL", checkScript, "0"};
    for (const AccessProbe& probe : probes) {
        command.push_back(std::to_string(probe.command.size()));
        command.insert(command.end(), probe.command.begin(), probe.command.end());
    }
    const RedisReply reply = call(std::move(command));
    if (reply.isError() && reply.text.rfind("NOPERM", 0) == 0)
        return denied(user, {{}, "EVAL"}, reply.text);
    if (reply.type == RedisReply::Type::Integer && reply.integer > 0 &&
        static_cast<std::size_t>(reply.integer) <= probes.size())
        return denied(user, probes[static_cast<std::size_t>(reply.integer - 1)], "");
    return {}; // all allowed, or a Redis that cannot tell (no redis.acl_check_cmd before 7.0)
}

} // namespace murva
