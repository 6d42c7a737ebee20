// The registry's scripts as Redis sees them: each compiles, and the digest EVALSHA names is the one Redis gives
// it (the EVAL fallback would otherwise hide a wrong one, at a second round trip per call).
#include <gtest/gtest.h>

#include "cluster/registry_scripts.hpp"
#include "support/redis_server.hpp"

namespace {

TEST(RegistryScripts, EachLoadsUnderTheDigestItIsCalledBy) {
    testing_support::RedisServer redis;
    for (const auto* script :
         {&murva::joinScript(), &murva::leaveScript(), &murva::reapScript(), &murva::restoreScript()}) {
        EXPECT_EQ(redis.command({"SCRIPT", "LOAD", script->text}), script->sha1);
        EXPECT_EQ(murva::scriptCommand(*script, false, {})[1], script->sha1);
    }
}

} // namespace
