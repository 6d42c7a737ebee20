// The registry's Lua scripts. Keys are built inside the scripts (they are not declared), so the registry needs
// one Redis server or a replicated pair, not a sharded Redis Cluster.
#include "cluster/registry_scripts.hpp"

#include <iterator>

#include <openssl/sha.h>

#include "signaling/away_member.hpp"

namespace murva {

namespace {

// A slot held for a member whose connection dropped has the instance "~" and member 0; "h<s>" is the hash of
// the member's session token, "b<s>" the bytes kept for it in the list "murva:frames:<hash>", and the sorted
// set "murva:held" holds "<s><code>" with the time (ms) the hold ends. A slot resumed keeps the hash it was
// held under as "p<s>": a frame sent to the held slot by an instance that has not heard of the resume yet is
// passed on to the member that resumed it, after what the resume took.
//
// keep(code, s, text): keeps `text` for the held slot s, within its bounds; false when it does not fit.
// Frees slot s of room `code`, held by `inst`: tells a member of another instance in the other slot (a held
// one keeps "peer-left" for later), forgets a room left empty, and the instance's claim on the room when it
// holds no other slot there.
constexpr std::string_view vacateFunction = R"lua(
local function keep(code, s, text)
  local room = 'murva:room:' .. code
  local h = redis.call('HGET', room, 'h' .. s)
  local deadline = redis.call('ZSCORE', 'murva:held', s .. code)
  if not h or not deadline then return false end
  local list = 'murva:frames:' .. h
  local bytes = tonumber(redis.call('HGET', room, 'b' .. s) or '0')
  if redis.call('LLEN', list) >= MAX_MESSAGES or bytes + #text > MAX_BYTES then return false end
  redis.call('RPUSH', list, text)
  redis.call('HINCRBY', room, 'b' .. s, #text)
  redis.call('PEXPIREAT', list, deadline)
  return true
end
local function vacate(code, s, inst)
  local room = 'murva:room:' .. code
  local id = redis.call('HGET', room, 'm' .. s)
  local h = redis.call('HGET', room, 'h' .. s)
  if h then redis.call('DEL', 'murva:frames:' .. h) end
  redis.call('ZREM', 'murva:held', s .. code)
  redis.call('HDEL', room, 'i' .. s, 'm' .. s, 'n' .. s, 'h' .. s, 'b' .. s, 'p' .. s)
  local o = 1 - s
  local other = redis.call('HGET', room, 'i' .. o)
  if not other then
    redis.call('DEL', room)
    redis.call('SREM', 'murva:rooms', code)
  elseif other == '~' then
    keep(code, o, '{"type":"peer-left"}')
  elseif other ~= inst then
    local to = redis.call('HGET', room, 'm' .. o)
    redis.call('PUBLISH', 'murva:to:' .. other, 'L ' .. to .. ' ' .. inst .. ' ' .. id .. ' ' .. #code .. '\n' .. code)
  end
  if other ~= inst and inst ~= '~' then
    redis.call('SREM', 'murva:rooms-of:' .. inst, code)
    if redis.call('EXISTS', 'murva:rooms-of:' .. inst) == 0 then
      redis.call('SREM', 'murva:instances', inst)
    end
  end
end
local function nowMs()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end
-- Holds slot s for `grace` ms: its member's connection is gone. The partner is told "A" (or keeps
-- "peer-away" when it is held too).
local function hold(code, s, grace)
  local room = 'murva:room:' .. code
  local inst = redis.call('HGET', room, 'i' .. s)
  redis.call('HSET', room, 'i' .. s, '~', 'm' .. s, '0', 'b' .. s, '0')
  redis.call('ZADD', 'murva:held', nowMs() + grace, s .. code)
  local o = 1 - s
  local other = redis.call('HGET', room, 'i' .. o)
  if other == '~' then
    keep(code, o, '{"type":"peer-away"}')
  elseif other then
    local to = redis.call('HGET', room, 'm' .. o)
    redis.call('PUBLISH', 'murva:to:' .. other,
      'A ' .. to .. ' ~ 0 ' .. #code .. '\n' .. code .. redis.call('HGET', room, 'h' .. s))
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
local code, inst, id, nick, maxRooms, session = ARGV[1], ARGV[2], ARGV[3], ARGV[4], tonumber(ARGV[5]), ARGV[6]
local room = 'murva:room:' .. code
if maxRooms > 0 and redis.call('EXISTS', room) == 0 and redis.call('SCARD', 'murva:rooms') >= maxRooms then
  return {'limit'}
end
local slot
if redis.call('HEXISTS', room, 'm1') == 0 then slot = 1
elseif redis.call('HEXISTS', room, 'm0') == 0 then slot = 0
else return {'full'} end
redis.call('HSET', room, 'i' .. slot, inst, 'm' .. slot, id, 'n' .. slot, nick)
if session and session ~= '' then redis.call('HSET', room, 'h' .. slot, session) end
redis.call('SADD', 'murva:rooms', code)
redis.call('SADD', 'murva:rooms-of:' .. inst, code)
redis.call('SADD', 'murva:instances', inst)
local o = 1 - slot
local peer = redis.call('HMGET', room, 'i' .. o, 'm' .. o, 'n' .. o, 'h' .. o)
if not peer[1] then return {'joined'} end
return {'joined', peer[1], peer[2], peer[3], peer[4] or ''}
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

// reap(inst, 'self', code, id, ...): frees what `inst` holds but the members named (their pairs were kept
// through a loss of Redis: their partners must not hear of a leave); the restore puts them back.
// reap(inst, 'others', grace): frees what dead instances held, holding slots that may be resumed.
constexpr std::string_view reapBody = R"lua(
local grace = tonumber(ARGV[3] or '0') or 0
local function reap(inst, holding, spare)
  for _, code in ipairs(redis.call('SMEMBERS', 'murva:rooms-of:' .. inst)) do
    local room = 'murva:room:' .. code
    for s = 0, 1 do
      if redis.call('HGET', room, 'i' .. s) == inst and
         not (spare and spare[code .. '\n' .. (redis.call('HGET', room, 'm' .. s) or '')]) then
        if holding and grace > 0 and redis.call('HEXISTS', room, 'h' .. s) == 1 then hold(code, s, grace)
        else vacate(code, s, inst) end
      end
    end
  end
  redis.call('DEL', 'murva:rooms-of:' .. inst)
  redis.call('SREM', 'murva:instances', inst)
end
if ARGV[2] == 'self' then
  local spare = {}
  for k = 3, #ARGV - 1, 2 do spare[ARGV[k] .. '\n' .. ARGV[k + 1]] = true end
  reap(ARGV[1], false, spare)
  return 1
end
local reaped = 0
for _, inst in ipairs(redis.call('SMEMBERS', 'murva:instances')) do
  if inst ~= ARGV[1] and redis.call('EXISTS', 'murva:instance:' .. inst) == 0 then
    reap(inst, true)
    reaped = reaped + 1
  end
end
local expired = 0
for _, held in ipairs(redis.call('ZRANGEBYSCORE', 'murva:held', '-inf', nowMs())) do
  local s, code = tonumber(held:sub(1, 1)), held:sub(2)
  if redis.call('HGET', 'murva:room:' .. code, 'i' .. s) == '~' then
    vacate(code, s, '~')
    expired = expired + 1
  else
    redis.call('ZREM', 'murva:held', held)
  end
end
return {reaped, expired}
)lua";

constexpr std::string_view holdBody = R"lua(
local room = 'murva:room:' .. ARGV[1]
for s = 0, 1 do
  if redis.call('HGET', room, 'i' .. s) == ARGV[2] and redis.call('HGET', room, 'm' .. s) == ARGV[3] and
     redis.call('HEXISTS', room, 'h' .. s) == 1 then
    hold(ARGV[1], s, tonumber(ARGV[4]))
    return 1
  end
end
return 0
)lua";

constexpr std::string_view keepBody = R"lua(
local code, h, inst, id = ARGV[1], ARGV[2], ARGV[4], ARGV[5]
local room = 'murva:room:' .. code
for s = 0, 1 do
  if redis.call('HGET', room, 'h' .. s) == h and redis.call('HGET', room, 'i' .. s) == '~' then
    if keep(code, s, ARGV[3]) then return 'kept' end
    vacate(code, s, '~')
    return 'overflow'
  end
end
if inst then
  for s = 0, 1 do
    local now = redis.call('HMGET', room, 'p' .. s, 'i' .. s, 'm' .. s)
    if now[1] == h and now[2] and now[2] ~= '~' then
      redis.call('PUBLISH', 'murva:to:' .. now[2],
                 'M ' .. now[3] .. ' ' .. inst .. ' ' .. id .. ' ' .. #code .. '\n' .. code .. ARGV[3])
      return 'moved'
    end
  end
end
return 'gone'
)lua";

constexpr std::string_view resumeBody = R"lua(
local code, h, inst, id, nextH = ARGV[1], ARGV[2], ARGV[3], ARGV[4], ARGV[5]
local room = 'murva:room:' .. code
for s = 0, 1 do
  if redis.call('HGET', room, 'h' .. s) == h and redis.call('HGET', room, 'i' .. s) == '~' then
    local nick = redis.call('HGET', room, 'n' .. s)
    local list = 'murva:frames:' .. h
    local frames = redis.call('LRANGE', list, 0, -1)
    redis.call('DEL', list)
    redis.call('ZREM', 'murva:held', s .. code)
    redis.call('HSET', room, 'i' .. s, inst, 'm' .. s, id, 'h' .. s, nextH, 'p' .. s, h)
    redis.call('HDEL', room, 'b' .. s)
    redis.call('SADD', 'murva:rooms-of:' .. inst, code)
    redis.call('SADD', 'murva:instances', inst)
    local o = 1 - s
    local peer = redis.call('HMGET', room, 'i' .. o, 'm' .. o, 'n' .. o, 'h' .. o)
    if peer[1] == '~' then
      keep(code, o, '{"type":"peer-back"}')
    elseif peer[1] then
      redis.call('PUBLISH', 'murva:to:' .. peer[1], 'B ' .. peer[2] .. ' ' .. inst .. ' ' .. id .. ' ' .. #code .. '\n' .. code .. nick)
    end
    local reply = {'ok', nick, peer[1] or '', peer[2] or '', peer[3] or '', peer[4] or ''}
    for _, frame in ipairs(frames) do table.insert(reply, frame) end
    return reply
  end
end
return {'expired'}
)lua";

// A member still in its slot (the reap spared it) stays there; the others take free slots.
constexpr std::string_view restoreBody = R"lua(
local code, inst, n = ARGV[1], ARGV[2], tonumber(ARGV[3])
local room = 'murva:room:' .. code
local free, placed = {}, {}
for s = 1, 0, -1 do
  if redis.call('HEXISTS', room, 'm' .. s) == 0 then table.insert(free, s)
  elseif redis.call('HGET', room, 'i' .. s) == inst then placed[redis.call('HGET', room, 'm' .. s)] = s end
end
local missing = 0
for k = 1, n do
  if not placed[ARGV[2 + 2 * k]] then missing = missing + 1 end
end
if #free < missing then return {'conflict'} end
local first, f = nil, 1
for k = 1, n do
  local s = placed[ARGV[2 + 2 * k]]
  if not s then
    s = free[f]
    f = f + 1
    redis.call('HSET', room, 'i' .. s, inst, 'm' .. s, ARGV[2 + 2 * k], 'n' .. s, ARGV[3 + 2 * k])
  end
  first = first or s
end
redis.call('SADD', 'murva:rooms', code)
redis.call('SADD', 'murva:rooms-of:' .. inst, code)
redis.call('SADD', 'murva:instances', inst)
if n == 1 then
  local o = 1 - first
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

std::string withVacate(std::string_view body) {
    std::string text(vacateFunction);
    for (const auto& [name, value] : {std::pair<std::string_view, std::size_t>{"MAX_MESSAGES", AwayMember::maxMessages},
                                      {"MAX_BYTES", AwayMember::maxBytes}})
        text.replace(text.find(name), name.size(), std::to_string(value));
    return text + std::string(body);
}

} // namespace

std::string heartbeatKey(std::string_view instance) { return "murva:instance:" + std::string(instance); }
std::string instanceChannel(std::string_view instance) { return "murva:to:" + std::string(instance); }

const RegistryScript& joinScript() {
    static const RegistryScript script = makeScript(withVacate(joinBody));
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

const RegistryScript& holdScript() {
    static const RegistryScript script = makeScript(withVacate(holdBody));
    return script;
}

const RegistryScript& keepScript() {
    static const RegistryScript script = makeScript(withVacate(keepBody));
    return script;
}

const RegistryScript& resumeScript() {
    static const RegistryScript script = makeScript(withVacate(resumeBody));
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
