// Whether a channel message fits the member of this instance it names, and what it then does to it.
#pragma once

#include <string_view>

#include "cluster/channel_message.hpp"

namespace murva {

enum class ChannelVerdict {
    Deliver,    // a frame from the partner: passed on as it is
    PeerJoined, // a member elsewhere joined the member's room: it becomes the partner
    PeerLeft,   // the partner left: its slot is freed
    PeerAway,   // the partner's connection dropped: its slot is held for it in Redis
    PeerBack,   // the partner resumed its held slot from the instance that sent this
    // A "joined" from the partner itself: its instance ended the pair during a loss of Redis and met the member
    // again as a newcomer. A pair kept here through that loss starts over; any other takes it as a late repeat.
    Rejoined,
    PartnerKept, // the partner's instance kept the pair through a loss of Redis and is back
    // A "joined" for a room whose other slot is held (a late repeat, or a leave still on its way), a "left" for a
    // free slot, a "kept" from anyone but the partner.
    Ignore,
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
