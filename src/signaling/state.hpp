// The signaling state of one server: its admitted connections, its rooms and per-IP counts, the limits on
// them, and the one mutex that guards it all. Each server owns one; nothing here is process-wide.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "config/settings.hpp"
#include "signaling/client.hpp"
#include "signaling/counters.hpp"
#include "signaling/shared_rooms.hpp"
#include "signaling/state_observer.hpp"

namespace murva {

struct Slot {
    std::shared_ptr<Member> member; // empty: free
    std::string nick;
    bool taken() const { return member && !member->expired(); }
};
using Room = std::array<Slot, 2>;

struct ClaimResult {
    ClaimOutcome outcome = ClaimOutcome::Joined;
    Member* peer = nullptr; // the other member when Joined and present; valid while the lock is held
    std::string peerNick;
};

struct StateSizes {
    std::size_t clients = 0;
    std::size_t rooms = 0;
    std::size_t ips = 0; // per-IP entries
    bool operator==(const StateSizes&) const = default;
};

class SignalingState {
public:
    // Only the limits are taken from `settings`. The observer, when given, must outlive the state.
    explicit SignalingState(const ServerSettings& settings, StateObserver* observer = nullptr);

    SignalingState(const SignalingState&) = delete;
    SignalingState& operator=(const SignalingState&) = delete;

    // The state's mutex for a scope; the operations below expect it held. Releasing it tells the observer.
    class Lock {
    public:
        explicit Lock(SignalingState& state) : state_(state), lock_(state.mutex_) {}
        ~Lock() {
            lock_.unlock();
            state_.observer_->unlocked();
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        SignalingState& state_;
        std::unique_lock<std::mutex> lock_;
    };

    // Counts a new connection against the connection and per-IP limits; a refusal changes nothing. `key` is
    // the client's limitKey (may be empty: not limited per address). With `refusal`, a refusal's reason is
    // put there ("max_connections" or "per_ip").
    bool admit(const SocketPtr& socket, const std::string& key, std::string_view* refusal = nullptr);

    // The limits of `settings` for admissions and rooms from now on; what is already admitted stays.
    void setLimits(const ServerSettings& settings);

    // Tells the observer of a refused connection or join. Call without the lock.
    void reportRefusal(std::string_view reason, const std::string& ip) { observer_->refused(reason, ip); }

    // Places the client in room `code` (creating it within the room limit): slot 1 if free, else slot 0.
    // `nick` is kept as given (the caller cuts it).
    ClaimResult claimRoomSlot(const std::shared_ptr<Client>& client, const std::string& code, std::string nick);

    // Places the client in room `code` where the shared registry put it: next to `claim.remotePeer`, or to
    // the member here whose sharedId is `claim.localPeerId`, or alone. What this server still holds in that
    // room and the registry says is gone is dropped first (its leave is on its way). No room limit applies:
    // the registry keeps it. RoomFull when the slot is held by another client of this server.
    ClaimResult placeShared(const std::shared_ptr<Client>& client, const std::string& code, std::string nick,
                            const SharedClaim& claim);

    // The other member of the client's room, or null. Valid while the lock is held.
    Member* peerOf(const Client& client);

    // The other slot of the client's room (free or not), or null when the client is in no room. The shared
    // registry fills and frees it for members on other instances. Valid while the lock is held.
    Slot* otherSlot(const Client& client);

    // Frees the client's slot, tells the other member "peer-left", erases an empty room, reports the leave.
    void vacateRoomSlot(Client& client);

    // Gives back the per-IP count and drops the server's reference to the connection. Idempotent.
    void release(const Client& client);

    SignalingCounters& counters() { return counters_; }

    // Read-outs; each takes the lock itself.
    StateSizes sizes() const;
    struct RoomCounts {
        std::size_t waiting = 0; // one member
        std::size_t full = 0;
    };
    RoomCounts roomCounts() const;
    int connectionsFrom(const std::string& ip) const; // 0 when there is no entry
    const Room* findRoom(const std::string& code) const; // caller holds the lock

    // Every container at once, under the lock, for checks of the state's invariants (tests, fuzzing).
    struct View {
        const std::set<SocketPtr>& clients;
        const std::map<std::string, Room>& rooms;
        const std::map<std::string, int>& connectionsPerIp;
    };
    template <class Visitor> void inspect(Visitor&& visit) const {
        std::lock_guard lock(mutex_);
        visit(View{clients_, rooms_, connectionsPerIp_});
    }

private:
    StateCounts counts() const { return {rooms_.size(), clients_.size()}; }

    uint32_t maxConnections_; // the limits are guarded by mutex_, like what they limit
    uint32_t maxConnectionsPerIp_;
    uint32_t maxRooms_;
    StateObserver* const observer_;

    SignalingCounters counters_;
    mutable std::mutex mutex_;
    std::set<SocketPtr> clients_; // the only strong reference to each admitted connection
    std::map<std::string, Room> rooms_;
    std::map<std::string, int> connectionsPerIp_;
};

} // namespace murva
