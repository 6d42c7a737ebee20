// What instances tell each other on their channels: a frame for a member, a member joined, a member left, the
// partner's slot is held for it ("A", from "~" 0, the body its session hash), the partner resumed ("B", from where
// it is now, the body its nick), the partner's instance kept the pair through a loss of Redis and is back ("K",
// the body "?" when it asks for the same word in return).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace murva {

// On the wire: "<kind> <to> <from instance> <from id> <room length>\n<room><body>"; the room's code (which the
// receiver checks against its member's) and the body (the frame, or the joiner's nick) are carried byte for
// byte. The registry's scripts write "L" messages in the same form.
struct ChannelMessage {
    enum class Kind : char { Relay = 'M', Joined = 'J', Left = 'L', Away = 'A', Back = 'B', Kept = 'K' };
    Kind kind = Kind::Relay;
    uint64_t to = 0;
    std::string_view fromInstance;
    uint64_t fromId = 0;
    std::string_view room;
    std::string_view body;
};

std::string encodeChannelMessage(ChannelMessage::Kind kind, uint64_t to, std::string_view fromInstance, uint64_t fromId,
                                 std::string_view room, std::string_view body = {});

// Empty for anything that is not one of ours; the views point into `payload`.
std::optional<ChannelMessage> decodeChannelMessage(std::string_view payload);

} // namespace murva
