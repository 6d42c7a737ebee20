// The start-up permission check against a real redis-server: ACL users allowed everything, and users each
// missing one command, key pattern or channel, judged through ACL DRYRUN or through the checking script.
#include <gtest/gtest.h>

#include <future>
#include <regex>
#include <set>
#include <thread>

#include "cluster/access_check.hpp"
#include "cluster/redis_connection.hpp"
#include "cluster/registry_scripts.hpp"
#include "support/redis_server.hpp"

using namespace std::chrono_literals;
using murva::RedisReply;
using testing_support::RedisServer;

namespace {

// What an operator grants the instances' user: the line the README gives.
const std::string limitedRights =
    "~murva:* &murva:to:* -@all +ping +set +del +exists +publish +subscribe +evalsha +eval +script|load +time "
    "+hget +hset +hdel +hexists +hincrby +hmget +zscore +zadd +zrem +zrangebyscore +llen +rpush +pexpireat "
    "+lrange +sadd +srem +scard +smembers";

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

} // namespace

// A command added to a script and not to the probes would pass the check and fail on the first join.
TEST(AccessCheck, EveryCommandTheScriptsCallIsProbed) {
    std::set<std::string> probed;
    for (const auto& probe : murva::accessProbes("eu-1"))
        probed.insert(probe.command.front());
    const std::regex call(R"(redis\.call\('([A-Z]+)')");
    for (const auto* script : {&murva::joinScript(), &murva::leaveScript(), &murva::reapScript(), &murva::holdScript(),
                               &murva::keepScript(), &murva::resumeScript(), &murva::restoreScript()})
        for (std::sregex_iterator it(script->text.begin(), script->text.end(), call), end; it != end; ++it)
            EXPECT_TRUE(probed.count((*it)[1])) << (*it)[1];
}

TEST(AccessCheck, NamesWhatTheUserMayNotRunAndWritesNothing) {
    RedisServer redis;
    const struct {
        std::string user, rights, missing; // missing: "" when everything is allowed
    } cases[] = {
        {"default", "", ""},          // may run ACL DRYRUN, which says so
        {"murva", limitedRights, ""}, // may not: the script asks redis.acl_check_cmd
        {"no-evalsha", limitedRights + " -evalsha", "may not run EVALSHA"},
        {"no-eval", limitedRights + " -eval", "may not run EVAL"},
        {"other-keys", "~other:* &murva:to:* +@all", "SET on key murva:instance:eu-1"},
        {"other-channels", "~murva:* &other:* +@all -acl", "SUBSCRIBE on channel murva:to:eu-1"},
        {"no-hset", "~* &* +@all -hset", "HSET on keys murva:room:* (This user has no permissions"}, // DRYRUN
        {"no-frames", limitedRights + " resetkeys ~murva:room:* ~murva:instance* ~murva:held ~murva:rooms*",
         "LLEN on keys murva:frames:*"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        if (c.user != "default") {
            auto args = words("ACL SETUSER " + c.user + " on >pw resetkeys resetchannels " + c.rights);
            EXPECT_EQ(redis.command(args), "OK");
        }
        auto endpoint = murva::parseRedisUrl(redis.url());
        endpoint.username = c.user == "default" ? "" : c.user;
        endpoint.password = c.user == "default" ? "" : "pw";
        std::promise<void> up;
        murva::RedisConnection::Handlers handlers;
        handlers.connected = [&] { up.set_value(); };
        murva::RedisConnection connection(endpoint, handlers);
        connection.start();
        ASSERT_EQ(up.get_future().wait_for(10s), std::future_status::ready);
        const murva::BlockingCall call = [&](std::vector<std::string> args) {
            auto answer = std::make_shared<std::promise<RedisReply>>();
            auto reply = answer->get_future();
            connection.command(std::move(args), [answer](const RedisReply& r) { answer->set_value(r); });
            return reply.get();
        };
        const std::string missing = murva::missingAccess(call, endpoint.username, "eu-1");
        if (c.missing.empty()) {
            EXPECT_EQ(missing, "");
        } else {
            EXPECT_NE(missing.find(c.missing), std::string::npos) << missing;
        }
        if (!c.missing.empty()) {
            EXPECT_NE(missing.find("\"" + c.user + "\""), std::string::npos) << missing;
        }
    }
    EXPECT_EQ(redis.command({"DBSIZE"}), "0");
}
