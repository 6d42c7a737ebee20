// Reading the join and restore scripts' replies.
#include "cluster/registry_replies.hpp"

#include "cluster/channel_verdict.hpp"

namespace murva {

namespace {

bool isString(const RedisReply& reply, std::string_view text) {
    return reply.type == RedisReply::Type::String && reply.text == text;
}

// The element of an array reply, or a nil reply when there is none.
const RedisReply& element(const RedisReply& reply, std::size_t index) {
    static const RedisReply nil{};
    return reply.type == RedisReply::Type::Array && index < reply.elements.size() ? reply.elements[index] : nil;
}

uint64_t idOf(const RedisReply& reply) {
    try {
        return reply.type == RedisReply::Type::String ? std::stoull(reply.text) : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

// Elements first, first + 1 and first + 2: the peer's instance, number and nick, when there is an instance.
std::optional<RegistryPeer> peerAt(const RedisReply& reply, std::size_t first) {
    if (element(reply, first).type != RedisReply::Type::String)
        return std::nullopt;
    return RegistryPeer{element(reply, first).text, idOf(element(reply, first + 1)), element(reply, first + 2).text,
                        element(reply, first + 3).text};
}

} // namespace

JoinAnswer readJoinReply(const RedisReply& reply, bool stale) {
    JoinAnswer answer;
    const RedisReply& outcome = element(reply, 0);
    if (stale) {
        answer.giveBack = isString(outcome, "joined");
    } else if (isString(outcome, "full")) {
        answer.outcome = ClaimOutcome::RoomFull;
    } else if (isString(outcome, "limit")) {
        answer.outcome = ClaimOutcome::RoomLimitReached;
    } else if (isString(outcome, "joined")) {
        answer.outcome = ClaimOutcome::Joined;
        answer.peer = peerAt(reply, 1);
        if (answer.peer && !sendableNick(answer.peer->nick)) { // written by something other than an instance
            answer.nickRefused = true;
            answer.peer->nick.clear();
        }
    }
    return answer;
}

std::optional<RegistryPeer> readRestoreReply(const RedisReply& reply) {
    return isString(element(reply, 0), "ok") ? peerAt(reply, 1) : std::nullopt;
}

bool restorePlaced(const RedisReply& reply) { return isString(element(reply, 0), "ok"); }

std::optional<RegistryPeer> resumedPeer(const RedisReply& reply) {
    auto peer = peerAt(reply, 2);
    if (!peer || peer->instance.empty())
        return std::nullopt;
    if (!sendableNick(peer->nick))
        peer->nick.clear();
    return peer;
}

std::optional<SharedResume> readResumeReply(const RedisReply& reply) {
    if (!isString(element(reply, 0), "ok") || element(reply, 1).type != RedisReply::Type::String)
        return std::nullopt;
    SharedResume resume;
    resume.resumed = true;
    resume.nick = element(reply, 1).text;
    resume.claim.outcome = ClaimOutcome::Joined;
    for (std::size_t i = 6; i < reply.elements.size(); ++i)
        resume.heldFrames.push_back(reply.elements[i].text);
    return resume;
}

} // namespace murva
