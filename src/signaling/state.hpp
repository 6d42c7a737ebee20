// The signaling state: every admitted connection, every room, and per-IP counts, all under stateMutex.
// The entry in `clients` is the only strong reference to a connection; room slots are weak.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "transport/websocket.hpp"

using SocketPtr = std::shared_ptr<rtc::WebSocket>;
using WeakSocket = std::weak_ptr<rtc::WebSocket>;

// One per admitted connection, shared by its message and close handlers. room/slot/nick change only under
// stateMutex (slot once, from -1 to 0 or 1); ip is set before any handler can see the record.
struct ClientCtx {
    std::string room;
    int slot = -1; // -1: in no room
    std::string nick;
    std::string ip; // may be empty
};

inline constexpr std::size_t maxRoomCodeBytes = 128;
inline constexpr std::size_t maxNickBytes = 64;

extern std::mutex stateMutex;
extern std::set<SocketPtr> clients;
extern std::map<std::string, std::array<WeakSocket, 2>> rooms;
extern std::map<std::string, std::array<std::string, 2>> roomNicks;
extern std::map<std::string, int> connectionsPerIp;

// The operations below expect stateMutex to be held by the caller.

// Counts a new connection against maxConnections and maxConnectionsPerIp; a refusal changes nothing.
bool admitConnection(const SocketPtr& socket, const std::string& ip);

enum class ClaimOutcome { Joined, RoomLimitReached, RoomFull };
struct ClaimResult {
    ClaimOutcome outcome;
    int slot = -1;
};

// Places the connection in room `code` (creating it within maxRooms): slot 1 if free, else slot 0.
ClaimResult claimRoomSlot(ClientCtx& ctx, const WeakSocket& socket, const std::string& code,
                          const nlohmann::json& message);

// The other member of ctx's room, or empty.
SocketPtr lockPeer(const ClientCtx& ctx);

// Frees ctx's slot, tells the other member "peer-left", erases an empty room, queues the leave line.
void vacateRoomSlot(const ClientCtx& ctx);

// Gives back the per-IP count and drops the server's reference to the socket.
void releaseConnection(const ClientCtx& ctx, const WeakSocket& socket);

// The first `limit` bytes of `text`, cut back to the last whole UTF-8 character.
std::string truncateUtf8(const std::string& text, std::size_t limit);
