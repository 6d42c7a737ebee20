// A member whose connection dropped: its slot is kept for the grace period, and what is sent to it meanwhile
// waits here, in order, within a bound.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "signaling/member.hpp"
#include "signaling/protocol.hpp"

namespace murva {

class AwayMember final : public Member {
public:
    static constexpr std::size_t maxMessages = 64;
    static constexpr std::size_t maxBytes = 256 * 1024;

    AwayMember(std::string room, int slot, std::string nick, std::chrono::steady_clock::time_point deadline)
        : room(std::move(room)), slot(slot), nick(std::move(nick)), deadline(deadline) {}

    // Past the bound nothing more is kept; the state then gives the slot up.
    void deliver(std::string text) override {
        if (overflowed_)
            return;
        if (frames_.size() + 1 > maxMessages || bytes_ + text.size() > maxBytes) {
            overflowed_ = true;
            frames_.clear();
            return;
        }
        bytes_ += text.size();
        frames_.push_back(std::move(text));
    }
    void peerJoined(const std::string& peerNick) override { deliver(dumpCompact(peerJoinedMessage(peerNick))); }
    void peerLeft() override { deliver(dumpCompact(peerLeftMessage())); }
    void peerAway() override { deliver(dumpCompact(peerAwayMessage())); }
    void peerBack() override { deliver(dumpCompact(peerBackMessage())); }
    bool expired() const override { return false; } // the state frees the slot itself, and tells the partner

    bool overflowed() const { return overflowed_; }
    std::vector<std::string> takeFrames() { return std::move(frames_); }

    const std::string room;
    const int slot;
    const std::string nick;
    const std::chrono::steady_clock::time_point deadline;

private:
    std::vector<std::string> frames_;
    std::size_t bytes_ = 0;
    bool overflowed_ = false;
};

} // namespace murva
