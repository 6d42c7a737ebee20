// After Redis lost the registry: the members placed here are put back, one call per room with both of a room's
// members together; claims still pending are not.
#include <gtest/gtest.h>

#include "cluster/restore_plan.hpp"

using murva::HeldMember;

namespace {

TEST(RestorePlan, PutsBackPlacedMembersRoomByRoom) {
    const std::vector<HeldMember> held = {
        {4, "r3", "d", true},   {2, "r2", "pending", false},      {1, "r1", "a", true},
        {3, "r1", "c d", true}, {5, "r4", "also pending", false},
    };
    const auto calls = murva::planRestore("inst", held);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].room, "r1");
    EXPECT_EQ(calls[0].first, 1u);
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"r1", "inst", "2", "1", "a", "3", "c d"}));
    EXPECT_EQ(calls[1].room, "r3");
    EXPECT_EQ(calls[1].first, 4u);
    EXPECT_EQ(calls[1].args, (std::vector<std::string>{"r3", "inst", "1", "4", "d"}));

    EXPECT_TRUE(murva::planRestore("inst", {}).empty());
    EXPECT_TRUE(murva::planRestore("inst", {{2, "r2", "pending", false}}).empty());
}

} // namespace
