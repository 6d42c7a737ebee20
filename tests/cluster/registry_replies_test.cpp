// The join and restore scripts' replies read as outcomes: each outcome, the peer in the room, a nick written by
// something other than an instance, garbage and errors, and an answer to a join asked before a loss.
#include <gtest/gtest.h>

#include "cluster/registry_replies.hpp"

using murva::ClaimOutcome;
using murva::RedisReply;

namespace {

RedisReply text(std::string value) { return {RedisReply::Type::String, 0, std::move(value), {}}; }
RedisReply array(std::vector<RedisReply> elements) { return {RedisReply::Type::Array, 0, {}, std::move(elements)}; }
RedisReply withPeer(const char* word, const char* id, const char* nick) {
    return array({text(word), text("b"), text(id), text(nick)});
}

// "instance id nick", or "-" for none.
std::string peer(const std::optional<murva::RegistryPeer>& p) {
    return p ? p->instance + " " + std::to_string(p->id) + " " + p->nick : "-";
}

TEST(RegistryReplies, AJoinsReplyGivesItsOutcomeAndPeer) {
    const struct {
        RedisReply reply;
        bool stale;
        ClaimOutcome outcome;
        std::string peer;
        bool nickRefused, giveBack;
    } cases[] = {
        {array({text("joined")}), false, ClaimOutcome::Joined, "-", false, false},
        {withPeer("joined", "7", "ü"), false, ClaimOutcome::Joined, "b 7 ü", false, false},
        {withPeer("joined", "x", "n"), false, ClaimOutcome::Joined, "b 0 n", false, false},  // no number
        {withPeer("joined", "7", "\xff"), false, ClaimOutcome::Joined, "b 7 ", true, false}, // not UTF-8
        {array({text("full")}), false, ClaimOutcome::RoomFull, "-", false, false},
        {array({text("limit")}), false, ClaimOutcome::RoomLimitReached, "-", false, false},
        {{RedisReply::Type::Error, 0, "ERR", {}}, false, ClaimOutcome::Unavailable, "-", false, false},
        {withPeer("maybe", "7", "n"), false, ClaimOutcome::Unavailable, "-", false, false},
        {text("joined"), false, ClaimOutcome::Unavailable, "-", false, false}, // not an array
        // Asked before a loss: not believed, and a slot it got is freed.
        {withPeer("joined", "7", "n"), true, ClaimOutcome::Unavailable, "-", false, true},
        {array({text("full")}), true, ClaimOutcome::Unavailable, "-", false, false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const auto answer = murva::readJoinReply(cases[i].reply, cases[i].stale);
        EXPECT_EQ(answer.outcome, cases[i].outcome);
        EXPECT_EQ(peer(answer.peer), cases[i].peer);
        EXPECT_EQ(answer.nickRefused, cases[i].nickRefused);
        EXPECT_EQ(answer.giveBack, cases[i].giveBack);
    }
}

TEST(RegistryReplies, ARestoresReplyNamesThePeerItMetOnlyWhenPutBack) {
    EXPECT_EQ(peer(murva::readRestoreReply(array({text("ok")}))), "-");
    EXPECT_EQ(peer(murva::readRestoreReply(withPeer("ok", "3", "w"))), "b 3 w");
    EXPECT_EQ(peer(murva::readRestoreReply(withPeer("conflict", "3", "w"))), "-");
}

} // namespace
