// The per-connection handlers of an admitted connection and the two halves of the message handler.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "signaling/state.hpp"
#include "transport/common.hpp"

// One received frame: intake, password gate, then join (sender in no room) or relay (sender in a room).
void handleMessage(const WeakSocket& self, const std::shared_ptr<ClientCtx>& ctx, rtc::message_variant message);

// Join of a client in no room. Caller holds stateMutex. `message` is a JSON object whose join members
// are strings where present.
void handleJoin(const SocketPtr& self, ClientCtx& ctx, const nlohmann::json& message);

// Forwards a frame of a client in a room to the other member. Caller holds stateMutex. `parsed` is the
// frame's value when it was parsed (it is needed only when relay candidates are stripped).
void relayFrame(const ClientCtx& ctx, std::string&& text, const nlohmann::json* parsed);

// True when every member among `names` that is present holds a string.
bool stringMembersOrAbsent(const nlohmann::json& object, std::initializer_list<const char*> names);
