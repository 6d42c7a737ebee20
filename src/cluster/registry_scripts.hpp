// The Lua scripts that change the shared room registry in Redis, each atomic there, and the keys they use.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cluster/redis_reply.hpp"

namespace murva {

// Keys (all under "murva:"): "room:<code>" a hash (i0 m0 n0 i1 m1 n1: instance, member id and nick of each
// slot; h0 h1: the session hash of a member that may resume; b0 b1: the bytes kept for a held slot), "held" the
// held slots ("<slot><code>") by the time their grace ends, "frames:<hash>" what was kept for one, "rooms" the
// set of room codes (the room limit counts it), "rooms-of:<instance>" the codes an instance
// holds a slot in, "instances" the instances holding any, "instance:<instance>" the heartbeat (expires when the
// instance falls silent). Channel "murva:to:<instance>" carries what is sent to that instance's members.
std::string heartbeatKey(std::string_view instance);
std::string instanceChannel(std::string_view instance);

struct RegistryScript {
    std::string text;
    std::string sha1; // hex, for EVALSHA
};

// join(code, instance, id, nick, maxRooms, sessionHash) -> {"joined"[, peerInstance, peerId, peerNick,
// peerSession]} | {"full"} | {"limit"}. A peer whose slot is held has the instance "~" and its session hash.
const RegistryScript& joinScript();
// leave(code, instance, id) -> 1 when that member held a slot; tells a member on another instance "L".
const RegistryScript& leaveScript();
// reap(instance, "others") frees every slot of instances whose heartbeat is gone; reap(instance, "self"[, code1,
// id1, ...]) frees every slot of `instance` itself but those of the members named (the restore keeps them in
// place). Members left behind on other instances are told "L".
// "others" also ends held slots whose time is up (the partner is told "L") and holds, instead of freeing, the
// slots of members that may resume (ARGV[3]: the grace in ms, 0: none) -> {reaped, expired}.
const RegistryScript& reapScript();
// hold(code, instance, id, graceMs) -> 1 when that member's slot is now held for it; its partner is told "A".
const RegistryScript& holdScript();
// keep(code, sessionHash, text) -> "kept" | "overflow" (the held slot is given up: its partner is told "L") |
// "gone" (no such held slot).
const RegistryScript& keepScript();
// resume(code, sessionHash, instance, id, nextHash) -> {"ok", nick, peerInstance, peerId, peerNick, peerSession,
// frames...} (the partner is told "B") | {"expired"}
const RegistryScript& resumeScript();
// restore(code, instance, n, id1, nick1[, id2, nick2]) puts members this instance still has back after the
// registry lost them (one still in its slot stays there) -> {"ok"[, peerInstance, peerId, peerNick]} |
// {"conflict"} when the slots are taken.
const RegistryScript& restoreScript();

// The command that runs `script` with `args`: EVALSHA by its digest, or, `withText`, EVAL (which loads it too).
std::vector<std::string> scriptCommand(const RegistryScript& script, bool withText, std::vector<std::string> args);
// Whether Redis refused an EVALSHA because it does not hold the script.
bool scriptMissing(const RedisReply& reply);

} // namespace murva
