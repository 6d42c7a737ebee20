// Unknown keys and the nearest known key to each, by edit distance.
#include "config/unknown_keys.hpp"

#include <algorithm>
#include <string_view>
#include <vector>

namespace murva {

namespace {

using Keys = std::vector<std::string_view>;

const Keys topKeys = {"port",
                      "bind_address",
                      "password",
                      "log_level",
                      "log_format",
                      "allow_turn",
                      "connection_timeout_ms",
                      "max_message_size",
                      "max_connections",
                      "max_connections_per_ip",
                      "max_rooms",
                      "tls",
                      "web_client",
                      "admin",
                      "drain_timeout_ms",
                      "trusted_proxies",
                      "proxy_protocol",
                      "allowed_origins",
                      "max_password_failures_per_ip",
                      "max_joins_per_ip_per_minute",
                      "ipv6_prefix_length",
                      "resume_grace_ms",
                      "turn",
                      "auth",
                      "cluster"};

struct Section {
    std::string_view name;
    Keys keys;
};
const Section sections[] = {
    {"tls", {"enabled", "cert_file", "key_file", "key_password"}},
    {"admin", {"bind_address", "port"}},
    {"turn", {"urls", "secret", "ttl_seconds"}},
    {"auth", {"issuer", "audience", "keys", "hs256_secret", "leeway_seconds", "require"}},
    {"cluster",
     {"redis", "instance", "user", "tls", "heartbeat_ms", "instance_timeout_ms", "failover_wait_ms", "sentinels",
      "master_name"}},
};
// Sections within a section.
const struct {
    std::string_view parent;
    Section section;
} nestedSections[] = {
    {"cluster", {"tls", {"ca_file", "cert_file", "key_file"}}},
};

std::size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known key nearest to `key`, when it is near enough to be a slip (a third of the key's length, at least 2).
std::string_view nearest(std::string_view key, Keys known) {
    std::string_view best;
    std::size_t bestDistance = std::max<std::size_t>(2, key.size() / 3) + 1;
    for (const std::string_view candidate : known)
        if (const std::size_t d = editDistance(key, candidate); d < bestDistance) {
            best = candidate;
            bestDistance = d;
        }
    if (best.empty() && key.size() >= 3) // a key cut short: "cert" for "cert_file"
        for (const std::string_view candidate : known)
            if (candidate.starts_with(key))
                return candidate;
    return best;
}

void check(const nlohmann::json& object, Keys known, const std::string& prefix, std::vector<std::string>& out) {
    for (const auto& [key, value] : object.items()) {
        if (std::find(known.begin(), known.end(), key) != known.end())
            continue;
        std::string line = "Unknown key \"" + prefix + key + "\" ignored";
        if (const auto guess = nearest(key, known); !guess.empty())
            line += " (did you mean \"" + prefix + std::string(guess) + "\"?)";
        out.push_back(std::move(line));
    }
}

} // namespace

std::vector<std::string> unknownKeyWarnings(const nlohmann::json& root) {
    std::vector<std::string> out;
    check(root, topKeys, "", out);
    for (const auto& [name, keys] : sections)
        if (const auto it = root.find(name); it != root.end() && it->is_object())
            check(*it, keys, std::string(name) + ".", out);
    for (const auto& [parent, nested] : nestedSections)
        if (const auto outer = root.find(parent); outer != root.end() && outer->is_object())
            if (const auto it = outer->find(nested.name); it != outer->end() && it->is_object())
                check(*it, nested.keys, std::string(parent) + "." + std::string(nested.name) + ".", out);
    return out;
}

} // namespace murva
