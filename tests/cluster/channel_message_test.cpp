// Channel messages: the wire form read back as it was written, anything else refused; and which messages fit
// the member they name.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "cluster/channel_message.hpp"
#include "cluster/channel_verdict.hpp"
#include "signaling/protocol.hpp"

using murva::ChannelMessage;
using murva::ChannelVerdict;
using murva::decodeChannelMessage;
using murva::encodeChannelMessage;
using Kind = ChannelMessage::Kind;

namespace {

constexpr uint64_t most = std::numeric_limits<uint64_t>::max();

TEST(ChannelMessage, ReadsBackWhatWasWrittenByteForByte) {
    const struct {
        Kind kind;
        uint64_t to, fromId;
        std::string instance, room, body;
    } cases[] = {
        {Kind::Relay, 1, 2, "a", "room", R"({"type":"offer","sdp":"v=0\r\nM 1 x 2\n"})"},
        {Kind::Joined, most, most, "host-7.eu", "a room\nwith 12 lines", "ü € 𝄞"},
        {Kind::Left, 0, 0, "b", "", ""},
        {Kind::Kept, 3, 4, "b", "r", "?"},
        {Kind::Relay, 5, 6, "c", "5\n", std::string("\0\xff M 1 c 2 5\n", 13)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.room);
        const std::string wire = encodeChannelMessage(c.kind, c.to, c.instance, c.fromId, c.room, c.body);
        const auto got = decodeChannelMessage(wire);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->kind, c.kind);
        EXPECT_EQ(got->to, c.to);
        EXPECT_EQ(got->fromInstance, c.instance);
        EXPECT_EQ(got->fromId, c.fromId);
        EXPECT_EQ(got->room, c.room);
        EXPECT_EQ(got->body, c.body);
    }
}

TEST(ChannelMessage, RefusesWhatNoInstanceWrites) {
    const std::string payloads[] = {
        "",
        "nothing of ours",
        "X 1 a 2 0\n", // no such kind
        "M x a 2 0\n", // numbers that are not
        "M 1 a 2 +0\n",
        "M 18446744073709551616 a 2 0\n", // past 64 bits
        "M 1  2 0\n",                     // no instance
        "M 1 a 2 0",                      // no line end
        "M 1 a 2 5\nroom",                // the room cut short
    };
    for (const auto& payload : payloads)
        EXPECT_FALSE(decodeChannelMessage(payload)) << payload;
}

TEST(ChannelVerdict, OnlyWhatFitsTheMemberReachesIt) {
    const std::string longest(murva::maxNickBytes, 'n');
    const struct {
        Kind kind;
        std::string room, body;
        bool fromPartner, otherTaken;
        ChannelVerdict expected;
    } cases[] = {
        {Kind::Relay, "pair", R"({"type":"answer"})", true, true, ChannelVerdict::Deliver},
        {Kind::Relay, "pair", R"({"type":"offer"})", false, true, ChannelVerdict::Misdirected}, // not the partner
        {Kind::Relay, "lone", R"({"type":"offer"})", true, true, ChannelVerdict::Misdirected},  // another room
        {Kind::Relay, "pair", "{\"type\":\"off\xc0r\"}", true, true, ChannelVerdict::Malformed},
        {Kind::Joined, "pair", longest, false, false, ChannelVerdict::PeerJoined},
        {Kind::Joined, "pair", longest + "n", false, false, ChannelVerdict::Malformed},
        {Kind::Joined, "pair", "\xff\xfe nick", false, false, ChannelVerdict::Malformed},
        {Kind::Joined, "lone", "stranger", false, false, ChannelVerdict::Misdirected},
        {Kind::Joined, "pair", "late", false, true, ChannelVerdict::Ignore},   // the slot is held: a late repeat
        {Kind::Joined, "pair", "again", true, true, ChannelVerdict::Rejoined}, // the partner ended and met us again
        {Kind::Joined, "pair", "\xff", true, true, ChannelVerdict::Malformed},
        {Kind::Left, "pair", "", true, true, ChannelVerdict::PeerLeft},
        {Kind::Left, "pair", "", false, true, ChannelVerdict::Misdirected},
        {Kind::Left, "pair", "", false, false, ChannelVerdict::Ignore}, // a pair that has ended here already
        {Kind::Kept, "pair", "?", true, true, ChannelVerdict::PartnerKept},
        {Kind::Kept, "pair", "?", false, false, ChannelVerdict::Ignore}, // ended here: the sender's wait ends it
        {Kind::Kept, "lone", "?", true, true, ChannelVerdict::Misdirected},
    };
    for (const auto& c : cases) {
        const std::string wire = encodeChannelMessage(c.kind, 1, "b", 2, c.room, c.body);
        const auto message = decodeChannelMessage(wire);
        ASSERT_TRUE(message);
        EXPECT_EQ(murva::judgeChannelMessage(*message, "pair", c.fromPartner, c.otherTaken), c.expected)
            << static_cast<char>(c.kind) << " " << c.room << " " << c.body;
    }
}

} // namespace
