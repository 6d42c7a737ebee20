// A room's other member when its connection is on another instance: what is delivered to it is published to
// that instance's channel, in order, after everything sent before. A member whose slot is held in Redis (the
// instance "~", no id, its session hash) has what is delivered to it kept there, within the held slot's bounds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "signaling/member.hpp"

namespace murva {

class ClusterRooms;

class RemoteMember final : public Member {
public:
    // `localId`: the sharedId of this instance's member in room `room`, in whose name it is sent.
    RemoteMember(ClusterRooms& rooms, std::string instance, uint64_t id, uint64_t localId, std::string room,
                 std::string session = {})
        : rooms_(rooms), instance_(std::move(instance)), id_(id), localId_(localId), room_(std::move(room)),
          session_(std::move(session)) {}

    void deliver(std::string text) override;
    void peerJoined(const std::string& nick) override;
    void peerLeft() override {}                     // the registry's leave script tells the member's instance
    bool expired() const override { return false; } // until the registry says it left

    bool is(std::string_view instance, uint64_t id) const { return id == id_ && instance == instance_; }
    const std::string& instance() const { return instance_; }
    uint64_t id() const { return id_; }
    bool held() const { return instance_ == heldInstance; }

    static constexpr std::string_view heldInstance = "~"; // no instance: the slot is held in Redis

private:
    ClusterRooms& rooms_;
    const std::string instance_;
    const uint64_t id_;
    const uint64_t localId_;
    const std::string room_;
    const std::string session_; // of a held member
};

} // namespace murva
