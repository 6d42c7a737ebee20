// parseRedisUrl: the URL forms it accepts and what it makes of them; everything else refused.
#include <gtest/gtest.h>

#include <stdexcept>

#include "cluster/redis_url.hpp"

using murva::parseRedisUrl;
using murva::RedisEndpoint;

TEST(RedisUrl, AcceptsTheRedisFormsAndDecodesTheUserInformation) {
    const struct {
        std::string url;
        RedisEndpoint expected;
    } cases[] = {
        {"redis://localhost", {"localhost", 6379, 0, "", ""}},
        {"REDIS://cache-1.example.net:7000/", {"cache-1.example.net", 7000, 0, "", ""}},
        {"redis://10.0.0.5:6380/3", {"10.0.0.5", 6380, 3, "", ""}},
        {"redis://[::1]", {"::1", 6379, 0, "", ""}},
        {"redis://[fe80::1:2]:6390/15", {"fe80::1:2", 6390, 15, "", ""}},
        {"redis://:s3cret@127.0.0.1:1", {"127.0.0.1", 1, 0, "", "s3cret"}},
        {"redis://relay:p%40ss%3Aw%2Fd@[::1]:65535/2", {"::1", 65535, 2, "relay", "p@ss:w/d"}},
        {"redis://:a@b:c@host", {"host", 6379, 0, "", "a@b:c"}}, // the last '@' ends the password
        // A user alone (its password from the environment), over TLS or not.
        {"redis://murva@host", {"host", 6379, 0, "murva", ""}},
        {"redis://murva:@host:7", {"host", 7, 0, "murva", ""}},
        {"rediss://murva%40eu@[::1]:6380/1", {"::1", 6380, 1, "murva@eu", "", true}},
        {"RedisS://:pw@redis.internal", {"redis.internal", 6379, 0, "", "pw", true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const RedisEndpoint got = parseRedisUrl(c.url);
        EXPECT_EQ(got.host, c.expected.host);
        EXPECT_EQ(got.port, c.expected.port);
        EXPECT_EQ(got.database, c.expected.database);
        EXPECT_EQ(got.username, c.expected.username);
        EXPECT_EQ(got.password, c.expected.password);
        EXPECT_EQ(got.tls, c.expected.tls);
    }
}

TEST(RedisUrl, RefusesWhatItCannotHonourAndSaysWhy) {
    const struct {
        std::string url, reason;
    } cases[] = {
        {"http://host", "redis://"},
        {"host:6379", "redis://"},
        {"redis://", "host is missing"},
        {"redis://:6379", "host is missing"},
        {"redis://::1:6379", "brackets"},
        {"redis://[::1", "']'"},
        {"redis://[not-v6]:1", "not an IPv6"},
        {"redis://host:0", "port"},
        {"redis://host:65536", "port"},
        {"redis://host:+1", "port"},
        {"redis://host:", "port"},
        {"redis://host/-1", "database"},
        {"redis://host/1?timeout=3", "database"},
        {"redis://host name", "characters"},
        {"redis://@host", "empty"},
        {"rediss:/host", "rediss://"},
        {"redis://:bad%zzescape@host", "escape"},
        {"redis://:cut%4@host", "escape"},
        // The user information is never repeated, wherever the mistake is.
        {"redis://:hunter2@host:0", "port"},
        {"redis://user:hunter2@[::1", "']'"},
        {"rediss://:hunter2@host:x", "port"},
        {"http://:hunter2@host", "redis://"},
        {"redis:/:hunter2@host", "redis://"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        try {
            parseRedisUrl(c.url);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).find("hunter2"), std::string::npos) << e.what();
        }
    }
}
