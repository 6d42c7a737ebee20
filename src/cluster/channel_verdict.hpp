// Whether a channel message fits the member of this instance it names, and what it then does to it.
#pragma once

#include <string_view>

#include "cluster/channel_message.hpp"

namespace murva {

enum class ChannelVerdict {
    Deliver,     // a frame from the partner: passed on as it is
    PeerJoined,  // a member elsewhere joined the member's room: it becomes the partner
    PeerLeft,    // the partner left: its slot is freed
    Ignore,      // a "joined" for a room whose other slot is held: a late repeat, or a leave still on its way
    Misdirected, // about another room, or from anyone but the partner
    Malformed,   // a frame that is not JSON, or a nick no instance would have sent
};

// `room`: the member's room; `fromPartner`: the message comes from the member's partner on another instance;
// `otherTaken`: the room's other slot is held, here or elsewhere.
ChannelVerdict judgeChannelMessage(const ChannelMessage& message, std::string_view room, bool fromPartner,
                                   bool otherTaken);

// A nick that reached us through Redis can be sent on only when it is what a join would have kept.
bool sendableNick(std::string_view nick);

} // namespace murva
