// The join and restore scripts' replies read as outcomes: each outcome, the peer in the room, a nick written by
// something other than an instance, garbage and errors, and an answer to a join asked before a loss.
#include <gtest/gtest.h>

#include "cluster/registry_replies.hpp"

using murva::ClaimOutcome;
using murva::RedisReply;

namespace {

RedisReply text(std::string value) { return {RedisReply::Type::String, 0, std::move(value), {}}; }
RedisReply array(std::vector<RedisReply> elements) { return {RedisReply::Type::Array, 0, {}, std::move(elements)}; }
RedisReply error(std::string value) { return {RedisReply::Type::Error, 0, std::move(value), {}}; }

struct Peer {
    std::string instance;
    uint64_t id;
    std::string nick;
};

void expectPeer(const std::optional<murva::RegistryPeer>& got, const std::optional<Peer>& expected) {
    ASSERT_EQ(got.has_value(), expected.has_value());
    if (!expected)
        return;
    EXPECT_EQ(got->instance, expected->instance);
    EXPECT_EQ(got->id, expected->id);
    EXPECT_EQ(got->nick, expected->nick);
}

TEST(RegistryReplies, AJoinsReplyGivesItsOutcomeAndPeer) {
    const struct {
        const char* what;
        RedisReply reply;
        bool stale;
        ClaimOutcome outcome;
        std::optional<Peer> peer;
        bool nickRefused, giveBack;
    } cases[] = {
        {"alone", array({text("joined")}), false, ClaimOutcome::Joined, {}, false, false},
        {"with a peer", array({text("joined"), text("b"), text("7"), text("ü")}), false, ClaimOutcome::Joined,
         Peer{"b", 7, "ü"}, false, false},
        {"a peer's number that is not one", array({text("joined"), text("b"), text("x"), text("n")}), false,
         ClaimOutcome::Joined, Peer{"b", 0, "n"}, false, false},
        {"a nick no instance writes", array({text("joined"), text("b"), text("7"), text("\xff")}), false,
         ClaimOutcome::Joined, Peer{"b", 7, ""}, true, false},
        {"full", array({text("full")}), false, ClaimOutcome::RoomFull, {}, false, false},
        {"limit", array({text("limit")}), false, ClaimOutcome::RoomLimitReached, {}, false, false},
        {"an error", error("NOSCRIPT No matching script"), false, ClaimOutcome::Unavailable, {}, false, false},
        {"nil", RedisReply{}, false, ClaimOutcome::Unavailable, {}, false, false},
        {"an unknown word", array({text("maybe"), text("b"), text("7"), text("n")}), false,
         ClaimOutcome::Unavailable, {}, false, false},
        {"a bare string", text("joined"), false, ClaimOutcome::Unavailable, {}, false, false},
        // Asked before a loss: not believed, and a slot it got is freed.
        {"joined before a loss", array({text("joined"), text("b"), text("7"), text("n")}), true,
         ClaimOutcome::Unavailable, {}, false, true},
        {"full before a loss", array({text("full")}), true, ClaimOutcome::Unavailable, {}, false, false},
        {"an error before a loss", error("ERR lost"), true, ClaimOutcome::Unavailable, {}, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto answer = murva::readJoinReply(c.reply, c.stale);
        EXPECT_EQ(answer.outcome, c.outcome);
        expectPeer(answer.peer, c.peer);
        EXPECT_EQ(answer.nickRefused, c.nickRefused);
        EXPECT_EQ(answer.giveBack, c.giveBack);
    }
}

TEST(RegistryReplies, ARestoresReplyNamesThePeerItMetOnlyWhenPutBack) {
    const struct {
        const char* what;
        RedisReply reply;
        std::optional<Peer> peer;
    } cases[] = {
        {"put back alone", array({text("ok")}), {}},
        {"put back next to one", array({text("ok"), text("c"), text("3"), text("w")}), Peer{"c", 3, "w"}},
        {"left out", array({text("conflict")}), {}},
        {"left out, with more", array({text("conflict"), text("c"), text("3"), text("w")}), {}},
        {"an error", error("ERR"), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expectPeer(murva::readRestoreReply(c.reply), c.peer);
    }
}

} // namespace
