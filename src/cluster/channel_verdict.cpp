// The rules a channel message must meet before it reaches a member.
#include "cluster/channel_verdict.hpp"

#include "signaling/json_check.hpp"
#include "signaling/protocol.hpp"

namespace murva {

ChannelVerdict judgeChannelMessage(const ChannelMessage& message, std::string_view room, bool fromPartner,
                                   bool otherTaken) {
    if (message.room != room)
        return ChannelVerdict::Misdirected; // another process using this instance's name and channel
    switch (message.kind) {
    case ChannelMessage::Kind::Relay:
        if (!fromPartner)
            return ChannelVerdict::Misdirected;
        return isValidJson(message.body) ? ChannelVerdict::Deliver : ChannelVerdict::Malformed;
    case ChannelMessage::Kind::Joined:
        if (!sendableNick(message.body))
            return ChannelVerdict::Malformed;
        if (otherTaken)
            return fromPartner ? ChannelVerdict::Rejoined : ChannelVerdict::Ignore;
        return ChannelVerdict::PeerJoined;
    case ChannelMessage::Kind::Left: // with the slot free, from a pair that has ended here already
        return fromPartner  ? ChannelVerdict::PeerLeft
               : otherTaken ? ChannelVerdict::Misdirected
                            : ChannelVerdict::Ignore;
    case ChannelMessage::Kind::Away: // written by the registry's scripts, about whoever held the other slot
        return message.fromInstance == "~" && !message.body.empty() ? ChannelVerdict::PeerAway
                                                                    : ChannelVerdict::Malformed;
    case ChannelMessage::Kind::Back:
        return sendableNick(message.body) ? ChannelVerdict::PeerBack : ChannelVerdict::Malformed;
    case ChannelMessage::Kind::Kept: // from anyone else: the sender's pair had ended here; its own wait ends it
        return fromPartner ? ChannelVerdict::PartnerKept : ChannelVerdict::Ignore;
    }
    return ChannelVerdict::Malformed;
}

bool sendableNick(std::string_view nick) {
    if (nick.size() > maxNickBytes)
        return false;
    try {
        dumpCompact(nlohmann::json(std::string(nick)));
        return true;
    } catch (const nlohmann::json::exception&) {
        return false; // not UTF-8
    }
}

} // namespace murva
