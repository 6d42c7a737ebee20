// The signaling state of one server: its admitted connections, its rooms and per-IP counts, the limits on
// them, and the one mutex that guards it all. Each server owns one; nothing here is process-wide.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.hpp"
#include "signaling/away_member.hpp"
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

// A member this server keeps a room for: one connected here, or one whose slot is held here (not one on
// another instance, whose room the shared registry keeps).
inline bool keptHere(const Member& member) {
    return dynamic_cast<const Client*>(&member) || dynamic_cast<const AwayMember*>(&member);
}

using SteadyTime = std::chrono::steady_clock::time_point;

// A resume that found its slot: what the new connection is told, in this order, and whom to tell it is back.
struct ResumeResult {
    bool resumed = false;
    Member* peer = nullptr; // the other member, when present; valid while the lock is held
    std::string peerNick;
    std::vector<std::string> heldFrames; // kept for the member while it was away, oldest first
    bool wasHeld = false;                // false: the old connection was still open and is taken over
    SocketPtr replaced;                  // that old connection, for the caller to close
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
            if (state_.observer_)
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
    void reportRefusal(std::string_view reason, const std::string& ip) {
        if (observer_)
            observer_->refused(reason, ip);
    }

    // Places the client in room `code` (creating it within the room limit): slot 1 if free, else slot 0.
    // `nick` is kept as given (the caller cuts it).
    ClaimResult claimRoomSlot(const std::shared_ptr<Client>& client, const std::string& code, std::string nick);

    // Places the client in room `code` where the shared registry put it: next to `claim.remotePeer`, or to
    // the member here whose sharedId is `claim.localPeerId`, or alone. What this server still holds in that
    // room and the registry says is gone is dropped first (its leave is on its way). No room limit applies:
    // the registry keeps it. RoomFull when the slot is held by another client of this server. `resumed`: the
    // client took back a held slot (reported as a resume, not a join).
    ClaimResult placeShared(const std::shared_ptr<Client>& client, const std::string& code, std::string nick,
                            const SharedClaim& claim, bool resumed = false);

    // The client's own slot, or null when it is in no room. Valid while the lock is held.
    Slot* slotOf(const Client& client);

    // The other member of the client's room, or null. Valid while the lock is held.
    Member* peerOf(const Client& client);

    // The other slot of the client's room (free or not), or null when the client is in no room. The shared
    // registry fills and frees it for members on other instances. Valid while the lock is held.
    Slot* otherSlot(const Client& client);

    // Frees the client's slot, tells the other member "peer-left", erases an empty room, reports the leave.
    void vacateRoomSlot(Client& client);

    // Resumption. A member that asked for it is found by its session token's hash while its connection is
    // open (registerSession) and, once the connection dropped, while its slot is held (holdSlot, until
    // `deadline`; the partner is told peer-away). forgetSession: the member left for good.
    void registerSession(const std::shared_ptr<Client>& client);
    void forgetSession(const Client& client);
    void holdSlot(const Client& client, SteadyTime deadline);

    // Gives the slot that `hash` names in room `code` to `client`: a held one, or one whose old connection is
    // still open (marked superseded; the caller closes it). Nothing changes when no such slot exists.
    ResumeResult resumeSlot(const std::shared_ptr<Client>& client, const std::string& code, const std::string& hash);

    // Frees held slots whose grace has passed (the partner gets peer-left); the next deadline, if any.
    std::optional<SteadyTime> expireHeld(SteadyTime now);

    // When the other member of the client's room is held and has been sent more than its slot keeps, the slot
    // is given up (the client gets peer-left).
    void dropOverflowedPeer(const Client& client);

    std::size_t heldCount() const; // takes the lock itself

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
    int connectionsFrom(const std::string& ip) const;    // 0 when there is no entry
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
    using HeldMap = std::map<std::string, std::shared_ptr<AwayMember>>;
    void endHeld(HeldMap::iterator held);

    uint32_t maxConnections_; // the limits are guarded by mutex_, like what they limit
    uint32_t maxConnectionsPerIp_;
    uint32_t maxRooms_;
    StateObserver* const observer_; // may be null: nobody is told

    SignalingCounters counters_;
    mutable std::mutex mutex_;
    std::set<SocketPtr> clients_; // the only strong reference to each admitted connection
    std::map<std::string, Room> rooms_;
    std::map<std::string, int> connectionsPerIp_;
    std::map<std::string, std::weak_ptr<Client>> liveSessions_; // by token hash: members that may resume
    HeldMap held_;                                              // by token hash: slots held for them
};

} // namespace murva
