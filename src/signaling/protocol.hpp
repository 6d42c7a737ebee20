// The wire form of the server's own messages, and sendJson, through which every one of them leaves.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "transport/websocket.hpp"

namespace murva {

// Compact, members in ascending key order, UTF-8 as is; throws on a string that is not valid UTF-8.
std::string dumpCompact(const nlohmann::json& value);

// Sends `message` as one text frame when `socket` exists and is open; does nothing otherwise.
void sendJson(const std::shared_ptr<rtc::WebSocket>& socket, const nlohmann::json& message);

// The server's messages.
nlohmann::json unauthorizedMessage();
nlohmann::json errorMessage(const char* reason);
nlohmann::json fullMessage();
nlohmann::json joinedMessage(const std::string& peerNick);
nlohmann::json peerJoinedMessage(const std::string& nick);
nlohmann::json peerLeftMessage();
nlohmann::json peerAwayMessage();
nlohmann::json peerBackMessage();

inline constexpr const char* reasonRoomCodeTooLong = "Room code too long.";
inline constexpr const char* reasonRoomLimit = "Server is at capacity, try later.";
inline constexpr const char* reasonConnectionLimit = "Server is at capacity.";
inline constexpr const char* reasonTooManyAttempts = "Too many attempts, try later.";
inline constexpr const char* reasonSessionExpired = "Session expired.";
inline constexpr const char* reasonTokenExpired = "Token expired.";

inline constexpr std::size_t maxRoomCodeBytes = 128;
inline constexpr std::size_t maxNickBytes = 64;

// True when every member among `names` that is present holds a string.
bool stringMembersOrAbsent(const nlohmann::json& object, std::initializer_list<const char*> names);

// The first `limit` bytes of `text`, cut back to the last whole UTF-8 character.
std::string truncateUtf8(const std::string& text, std::size_t limit);

} // namespace murva
