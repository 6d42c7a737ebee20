// The registry's Lua scripts. Keys are built inside the scripts (they are not declared), so the registry needs
// one Redis server or a replicated pair, not a sharded Redis Cluster.
#include "cluster/registry_scripts.hpp"

#include <iterator>

#include <openssl/sha.h>

namespace murva {

namespace {

// Frees slot s of room `code`, held by `inst`: tells a member of another instance in the other slot, forgets
// a room left empty, and the instance's claim on the room when it holds no other slot there.
constexpr std::string_view vacateFunction = R"lua(
local function vacate(code, s, inst)
  local room = 'murva:room:' .. code
  local id = redis.call('HGET', room, 'm' .. s)
  redis.call('HDEL', room, 'i' .. s, 'm' .. s, 'n' .. s)
  local o = 1 - s
  local other = redis.call('HGET', room, 'i' .. o)
  if not other then
    redis.call('DEL', room)
    redis.call('SREM', 'murva:rooms', code)
  elseif other ~= inst then
    local to = redis.call('HGET', room, 'm' .. o)
    redis.call('PUBLISH', 'murva:to:' .. other, 'L ' .. to .. ' ' .. inst .. ' ' .. id .. ' ' .. #code .. '\n' .. code)
  end
  if other ~= inst then
    redis.call('SREM', 'murva:rooms-of:' .. inst, code)
    if redis.call('EXISTS', 'murva:rooms-of:' .. inst) == 0 then
      redis.call('SREM', 'murva:instances', inst)
    end
  end
end
)lua";

constexpr std::string_view joinBody = R"lua(
local code, inst, id, nick, maxRooms = ARGV[1], ARGV[2], ARGV[3], ARGV[4], tonumber(ARGV[5])
local room = 'murva:room:' .. code
if maxRooms > 0 and redis.call('EXISTS', room) == 0 and redis.call('SCARD', 'murva:rooms') >= maxRooms then
  return {'limit'}
end
local slot
if redis.call('HEXISTS', room, 'm1') == 0 then slot = 1
elseif redis.call('HEXISTS', room, 'm0') == 0 then slot = 0
else return {'full'} end
redis.call('HSET', room, 'i' .. slot, inst, 'm' .. slot, id, 'n' .. slot, nick)
redis.call('SADD', 'murva:rooms', code)
redis.call('SADD', 'murva:rooms-of:' .. inst, code)
redis.call('SADD', 'murva:instances', inst)
local o = 1 - slot
local peer = redis.call('HMGET', room, 'i' .. o, 'm' .. o, 'n' .. o)
if not peer[1] then return {'joined'} end
return {'joined', peer[1], peer[2], peer[3]}
)lua";

constexpr std::string_view leaveBody = R"lua(
local room = 'murva:room:' .. ARGV[1]
for s = 0, 1 do
  if redis.call('HGET', room, 'i' .. s) == ARGV[2] and redis.call('HGET', room, 'm' .. s) == ARGV[3] then
    vacate(ARGV[1], s, ARGV[2])
    return 1
  end
end
return 0
)lua";

constexpr std::string_view reapBody = R"lua(
local function reap(inst)
  for _, code in ipairs(redis.call('SMEMBERS', 'murva:rooms-of:' .. inst)) do
    for s = 0, 1 do
      if redis.call('HGET', 'murva:room:' .. code, 'i' .. s) == inst then vacate(code, s, inst) end
    end
  end
  redis.call('DEL', 'murva:rooms-of:' .. inst)
  redis.call('SREM', 'murva:instances', inst)
end
if ARGV[2] == 'self' then
  reap(ARGV[1])
  return 1
end
local reaped = 0
for _, inst in ipairs(redis.call('SMEMBERS', 'murva:instances')) do
  if inst ~= ARGV[1] and redis.call('EXISTS', 'murva:instance:' .. inst) == 0 then
    reap(inst)
    reaped = reaped + 1
  end
end
return reaped
)lua";

constexpr std::string_view restoreBody = R"lua(
local code, inst, n = ARGV[1], ARGV[2], tonumber(ARGV[3])
local room = 'murva:room:' .. code
local free = {}
for s = 1, 0, -1 do
  if redis.call('HEXISTS', room, 'm' .. s) == 0 then table.insert(free, s) end
end
if #free < n then return {'conflict'} end
for k = 1, n do
  redis.call('HSET', room, 'i' .. free[k], inst, 'm' .. free[k], ARGV[2 + 2 * k], 'n' .. free[k], ARGV[3 + 2 * k])
end
redis.call('SADD', 'murva:rooms', code)
redis.call('SADD', 'murva:rooms-of:' .. inst, code)
redis.call('SADD', 'murva:instances', inst)
if n == 1 then
  local o = 1 - free[1]
  local peer = redis.call('HMGET', room, 'i' .. o, 'm' .. o, 'n' .. o)
  if peer[1] then return {'ok', peer[1], peer[2], peer[3]} end
end
return {'ok'}
)lua";

RegistryScript makeScript(std::string text) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    static constexpr char hex[] = "0123456789abcdef";
    std::string sha1;
    for (unsigned char byte : digest) {
        sha1 += hex[byte >> 4];
        sha1 += hex[byte & 15];
    }
    return RegistryScript{std::move(text), std::move(sha1)};
}

std::string withVacate(std::string_view body) { return std::string(vacateFunction) + std::string(body); }

} // namespace

std::string heartbeatKey(std::string_view instance) { return "murva:instance:" + std::string(instance); }
std::string instanceChannel(std::string_view instance) { return "murva:to:" + std::string(instance); }

const RegistryScript& joinScript() {
    static const RegistryScript script = makeScript(std::string(joinBody));
    return script;
}

const RegistryScript& leaveScript() {
    static const RegistryScript script = makeScript(withVacate(leaveBody));
    return script;
}

const RegistryScript& reapScript() {
    static const RegistryScript script = makeScript(withVacate(reapBody));
    return script;
}

const RegistryScript& restoreScript() {
    static const RegistryScript script = makeScript(std::string(restoreBody));
    return script;
}

std::vector<std::string> scriptCommand(const RegistryScript& script, bool withText, std::vector<std::string> args) {
    std::vector<std::string> command{withText ? "EVAL" : "EVALSHA", withText ? script.text : script.sha1, "0"};
    command.insert(command.end(), std::make_move_iterator(args.begin()), std::make_move_iterator(args.end()));
    return command;
}

bool scriptMissing(const RedisReply& reply) { return reply.isError() && reply.text.rfind("NOSCRIPT", 0) == 0; }

} // namespace murva
