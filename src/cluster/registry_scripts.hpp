// The Lua scripts that change the shared room registry in Redis, each atomic there, and the keys they use.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cluster/redis_reply.hpp"

namespace murva {

// Keys (all under "murva:"): "room:<code>" a hash (i0 m0 n0 i1 m1 n1: instance, member id and nick of each
// slot), "rooms" the set of room codes (the room limit counts it), "rooms-of:<instance>" the codes an instance
// holds a slot in, "instances" the instances holding any, "instance:<instance>" the heartbeat (expires when the
// instance falls silent). Channel "murva:to:<instance>" carries what is sent to that instance's members.
std::string heartbeatKey(std::string_view instance);
std::string instanceChannel(std::string_view instance);

struct RegistryScript {
    std::string text;
    std::string sha1; // hex, for EVALSHA
};

// join(code, instance, id, nick, maxRooms) -> {"joined"[, peerInstance, peerId, peerNick]} | {"full"} | {"limit"}
const RegistryScript& joinScript();
// leave(code, instance, id) -> 1 when that member held a slot; tells a member on another instance "L".
const RegistryScript& leaveScript();
// reap(instance, "others") frees every slot of instances whose heartbeat is gone; reap(instance, "self")
// frees every slot of `instance` itself. Members left behind on other instances are told "L".
const RegistryScript& reapScript();
// restore(code, instance, n, id1, nick1[, id2, nick2]) puts members this instance still has back after the
// registry lost them -> {"ok"[, peerInstance, peerId, peerNick]} | {"conflict"} when the slots are taken.
const RegistryScript& restoreScript();

// The command that runs `script` with `args`: EVALSHA by its digest, or, `withText`, EVAL (which loads it too).
std::vector<std::string> scriptCommand(const RegistryScript& script, bool withText, std::vector<std::string> args);
// Whether Redis refused an EVALSHA because it does not hold the script.
bool scriptMissing(const RedisReply& reply);

} // namespace murva
