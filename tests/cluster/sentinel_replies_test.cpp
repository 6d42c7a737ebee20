// Reading the sentinels' answers: host:port as configured and as sentinels write it, the master's address, a
// switch of master meant for another name or garbled, and a ROLE that is not a master's.
#include <gtest/gtest.h>

#include "cluster/sentinel_replies.hpp"

using namespace murva;

namespace {

RedisReply str(std::string text, RedisReply::Type type = RedisReply::Type::String) {
    RedisReply r;
    r.type = type;
    r.text = std::move(text);
    return r;
}

RedisReply array(std::vector<RedisReply> elements) {
    RedisReply r;
    r.type = RedisReply::Type::Array;
    r.elements = std::move(elements);
    return r;
}

} // namespace

TEST(SentinelReplies, HostPortTakesNamesAddressesAndBracketedIpv6Only) {
    const struct {
        const char* text;
        std::optional<HostPort> expected;
    } cases[] = {
        {"sentinel-a:26379", HostPort{"sentinel-a", 26379}},
        {"10.0.0.5:1", HostPort{"10.0.0.5", 1}},
        {"[fd00::7]:65535", HostPort{"fd00::7", 65535}},
        {"fd00::7:26379", std::nullopt}, // without brackets the port is a guess
        {"[]:26379", std::nullopt},
        {"host", std::nullopt},
        {"host:", std::nullopt},
        {":26379", std::nullopt},
        {"host:0", std::nullopt},
        {"host:65536", std::nullopt},
        {"host:+1", std::nullopt},
        {"host:0000026379", std::nullopt},
        {"user@host:1", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto got = parseHostPort(c.text);
        EXPECT_EQ(got.has_value(), c.expected.has_value());
        if (got && c.expected) {
            EXPECT_EQ(*got, *c.expected);
            EXPECT_EQ(got->text(), c.text); // written back as read
        }
    }
}

TEST(SentinelReplies, TheMastersAddressComesOnlyFromAWellFormedAnswer) {
    EXPECT_EQ(masterAddress(array({str("10.0.0.6"), str("6380")})), (HostPort{"10.0.0.6", 6380}));
    EXPECT_EQ(masterAddress(array({str("fd00::6"), str("6380")})), (HostPort{"fd00::6", 6380}));
    for (const RedisReply& reply : {RedisReply{}, // nil: no such master
                                    str("ERR No such master with that name", RedisReply::Type::Error),
                                    array({str("10.0.0.6")}), array({str("10.0.0.6"), str("x")}),
                                    array({str("10.0.0.6"), str("6380"), str("1")}), array({str(""), str("6380")})})
        EXPECT_FALSE(masterAddress(reply));
}

TEST(SentinelReplies, ASwitchCountsForOurMasterOnlyAndNamesTheNewAddress) {
    EXPECT_EQ(switchedMaster("murva 127.0.0.1 6379 127.0.0.1 6380", "murva"), (HostPort{"127.0.0.1", 6380}));
    EXPECT_EQ(switchedMaster("murva fd00::1 6379 fd00::2 6379", "murva"), (HostPort{"fd00::2", 6379}));
    for (const char* payload : {"other 127.0.0.1 6379 127.0.0.1 6380", "murvaX 127.0.0.1 6379 127.0.0.1 6380",
                                "murva 127.0.0.1 6379 127.0.0.1", "murva 127.0.0.1 6379 127.0.0.1 6380 extra",
                                "murva 127.0.0.1 6379 127.0.0.1 port", ""})
        EXPECT_FALSE(switchedMaster(payload, "murva")) << payload;
}

TEST(SentinelReplies, OnlyAMastersRoleIsOne) {
    RedisReply offset;
    offset.type = RedisReply::Type::Integer;
    EXPECT_TRUE(isMasterRole(array({str("master"), offset, array({})})));
    for (const RedisReply& reply :
         {array({str("slave"), str("127.0.0.1"), offset}), array({str("sentinel"), array({})}), array({}),
          str("master"), str("ERR unknown command", RedisReply::Type::Error)})
        EXPECT_FALSE(isMasterRole(reply));
}
