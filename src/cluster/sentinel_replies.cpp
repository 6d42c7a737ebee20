// Reading the sentinels' replies and announcements.
#include "cluster/sentinel_replies.hpp"

#include <string>
#include <vector>

namespace murva {
namespace {

// Sentinels write bare IPv6 addresses; brackets are added so host:port parsing has one rule.
std::optional<HostPort> address(std::string_view host, std::string_view port) {
    if (host.find(':') != std::string_view::npos)
        return parseHostPort("[" + std::string(host) + "]:" + std::string(port));
    return parseHostPort(std::string(host) + ":" + std::string(port));
}

} // namespace

std::optional<HostPort> masterAddress(const RedisReply& reply) {
    if (reply.type != RedisReply::Type::Array || reply.elements.size() != 2)
        return std::nullopt;
    const auto& host = reply.elements[0];
    const auto& port = reply.elements[1];
    if (host.type != RedisReply::Type::String || port.type != RedisReply::Type::String)
        return std::nullopt;
    return address(host.text, port.text);
}

std::optional<HostPort> switchedMaster(std::string_view payload, std::string_view masterName) {
    std::vector<std::string_view> words;
    while (!payload.empty()) {
        const auto space = payload.find(' ');
        words.push_back(payload.substr(0, space));
        payload = space == std::string_view::npos ? std::string_view{} : payload.substr(space + 1);
    }
    if (words.size() != 5 || words[0] != masterName)
        return std::nullopt;
    return address(words[3], words[4]);
}

bool isMasterRole(const RedisReply& reply) {
    return reply.type == RedisReply::Type::Array && !reply.elements.empty() &&
           reply.elements[0].type == RedisReply::Type::String && reply.elements[0].text == "master";
}

} // namespace murva
