// Parsing and checking a configuration file, and the default text written on first start.
#include "config/config_file.hpp"

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/host_port.hpp"
#include "config/unknown_keys.hpp"

namespace murva {

const std::string_view defaultConfigText = R"murva({
  // murva-signal configuration. Edit and restart the server to apply changes.
  // // and /* */ comments are allowed.

  "port": 8080,                 // TCP port to listen on
  "bind_address": "0.0.0.0",    // interface to bind; 0.0.0.0 = all interfaces

  // Require this password to use the relay. Empty = open to anyone who knows a
  // room code. The MURVA_SIGNAL_PASSWORD environment variable, if set,
  // overrides this (handy for Docker secrets / CI).
  "password": "",

  "log_level": "warning",       // none | error | warning | info | debug | verbose

  // Set false to forbid TURN-relayed transfers: the server strips TURN ("relay")
  // ICE candidates as it forwards them, so file data can ONLY go directly
  // peer-to-peer and never through a TURN server (no relayed-bandwidth cost).
  // Strict-NAT pairs that needed TURN simply won't connect. Default true.
  "allow_turn": true,

  // Abuse / resource limits (0 = unlimited where noted):
  "max_connections": 1024,         // reject new sockets past this (0 = unlimited)
  "max_connections_per_ip": 32,    // reject sockets past this per client IP
  "max_rooms": 4096,               // reject new rooms past this (0 = unlimited)
  "max_message_size": 65536,       // drop oversized signaling frames, bytes
  "connection_timeout_ms": 0,      // per-connection handshake timeout (0 = default)

  // TLS - serve wss:// directly. Usually you terminate TLS at a reverse proxy
  // and leave this disabled.
  "tls": {
    "enabled": false,
    "cert_file": "",
    "key_file": "",
    "key_password": ""
  }
}
)murva";

namespace {

using nlohmann::json;

// The library's number conversion, except that a fraction is truncated through a 64-bit integer first:
// a plain cast of a huge or negative double to a 32-bit type would be undefined.
template <class T> T toInteger(const json& value) {
    if (!value.is_number_float())
        return value.get<T>(); // integers keep their low bits; booleans are 1 and 0; other types throw
    const double d = std::trunc(value.get<double>());
    constexpr double limit = 9.2e18;
    const int64_t wide = d >= limit ? INT64_MAX : d <= -limit ? INT64_MIN : static_cast<int64_t>(d);
    return static_cast<T>(wide);
}

// A key's value of the wrong type: the message names the key, as the operator wrote it.
struct KeyError : std::runtime_error {
    KeyError(const std::string& key, std::string_view expected)
        : std::runtime_error("\"" + key + "\": must be " + std::string(expected)) {}
};

std::string keyName(const char* section, const char* key) {
    return section ? std::string(section) + "." + key : std::string(key);
}

template <class T> constexpr std::string_view expectedType() {
    if constexpr (std::is_same_v<T, bool>)
        return "true or false";
    else if constexpr (std::is_same_v<T, std::string>)
        return "a string";
    else if constexpr (std::is_same_v<T, std::vector<std::string>>)
        return "an array of strings";
    else
        return "a number";
}

// Reads `key` when present; a value of the wrong JSON type throws KeyError naming it (section.key when nested).
template <class T> void readKey(const json& object, const char* key, T& field, const char* section = nullptr) {
    auto it = object.find(key);
    if (it == object.end())
        return;
    try {
        if constexpr (std::is_same_v<T, uint32_t>)
            field = toInteger<uint32_t>(*it);
        else
            field = it->template get<T>();
    } catch (const json::type_error&) {
        throw KeyError(keyName(section, key), expectedType<T>());
    }
}

// A section ("tls", "admin") must be an object when present; null when absent.
const json* section(const json& root, const char* key) {
    auto it = root.find(key);
    if (it == root.end())
        return nullptr;
    if (!it->is_object())
        throw KeyError(key, "an object");
    return &*it;
}

// A port key, tested before any narrowing: 4294967376 must not wrap around into port 80.
bool readPort(const json& object, const char* key, long long lowest, uint16_t& port, std::string& error,
              const char* section = nullptr) {
    auto it = object.find(key);
    if (it == object.end())
        return true;
    long long value = 0;
    try {
        value = toInteger<long long>(*it); // not int64_t: that type alone refuses booleans
    } catch (const json::type_error&) {
        throw KeyError(keyName(section, key), "a number");
    }
    if (value < lowest || value > 65535) {
        error = std::string(key) + " out of range (" + std::to_string(lowest) + "-65535)";
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

// Rate limits keep a time per event in the window for each address: bounded, so memory is.
constexpr uint32_t maxRateLimit = 10000;

// Tested before any narrowing, as the port is: 4294967296 must not wrap around into 0 (no limit).
bool readRateLimit(const json& object, const char* key, uint32_t& field, std::string& error) {
    auto it = object.find(key);
    if (it == object.end())
        return true;
    const auto value = toInteger<long long>(*it);
    if (value < 0 || value > maxRateLimit) {
        error = std::string(key) + " out of range (0-" + std::to_string(maxRateLimit) + ")";
        return false;
    }
    field = static_cast<uint32_t>(value);
    return true;
}

bool isTurnUrl(const std::string& url) {
    for (const std::string_view scheme : {"turn:", "turns:"})
        if (url.size() > scheme.size() && url.compare(0, scheme.size(), scheme) == 0)
            return true;
    return false;
}

// An optional string member of a section ("turn", "cluster"); false with the error when it is something else.
bool readStringMember(const json& section, const char* sectionName, const char* key, std::string& target,
                      std::string& error) {
    const auto it = section.find(key);
    if (it == section.end())
        return true;
    if (!it->is_string()) {
        error = std::string(sectionName) + "." + key + " must be a string";
        return false;
    }
    target = it->get<std::string>();
    return true;
}

// An optional whole-number member of a section, from `low` to `high`.
bool readBoundedMember(const json& section, const char* sectionName, const char* key, uint32_t low, uint32_t high,
                       uint32_t& target, std::string& error) {
    const auto it = section.find(key);
    if (it == section.end())
        return true;
    if (!it->is_number_unsigned() || it->get<uint64_t>() < low || it->get<uint64_t>() > high) {
        error = std::string(sectionName) + "." + key + " must be a whole number from " + std::to_string(low) + " to " +
                std::to_string(high);
        return false;
    }
    target = it->get<uint32_t>();
    return true;
}

// The "turn" object. Checked more strictly than the older keys: a mistake here would not show until clients
// behind strict NATs failed to connect. The secret may still be missing; the environment can supply it.
bool readTurn(const json& value, ServerSettings& s, std::string& error) {
    if (!value.is_object()) {
        error = "turn must be an object";
        return false;
    }
    TurnSettings turn;
    const auto urls = value.find("urls");
    if (urls == value.end() || !urls->is_array() || urls->empty()) {
        error = "turn.urls must be a non-empty array of turn: or turns: URLs";
        return false;
    }
    for (std::size_t i = 0; i < urls->size(); ++i) {
        const json& url = (*urls)[i];
        // No stun: entries: the TURN server answers STUN on the same address, and the credentials are its own.
        if (!url.is_string() || !isTurnUrl(url.get_ref<const std::string&>())) {
            error = "turn.urls[" + std::to_string(i) + "] must be a string starting with turn: or turns:";
            return false;
        }
        turn.urls.push_back(url.get<std::string>());
    }
    if (!readStringMember(value, "turn", "secret", turn.secret, error) ||
        !readBoundedMember(value, "turn", "ttl_seconds", 1, maxTurnTtlSeconds, turn.ttlSeconds, error))
        return false;
    s.turn = std::move(turn);
    return true;
}

// cluster.sentinels and cluster.master_name, which come together: a list of sentinels without the name would
// leave nothing to ask them, a name without sentinels would be silently unused.
bool readSentinels(const json& value, ClusterSettings& cluster, std::string& error) {
    if (!readStringMember(value, "cluster", "master_name", cluster.masterName, error))
        return false;
    const auto sentinels = value.find("sentinels");
    if (sentinels == value.end()) {
        if (cluster.masterName.empty())
            return true;
        error = "cluster.master_name needs cluster.sentinels";
        return false;
    }
    if (!sentinels->is_array() || sentinels->empty()) {
        error = "cluster.sentinels must be a non-empty array of \"host:port\" strings";
        return false;
    }
    for (std::size_t i = 0; i < sentinels->size(); ++i) {
        const json& entry = (*sentinels)[i];
        if (!entry.is_string() || !parseHostPort(entry.get_ref<const std::string&>())) {
            error = "cluster.sentinels[" + std::to_string(i) + "] must be \"host:port\" (IPv6 in brackets)";
            return false;
        }
        cluster.sentinels.push_back(entry.get<std::string>());
    }
    if (cluster.masterName.empty()) {
        error = "cluster.sentinels needs cluster.master_name, the name the sentinels monitor the master under";
        return false;
    }
    return true;
}

// The "cluster" object, checked as strictly as "turn": a mistake would split rooms between instances.
bool readCluster(const json& value, ServerSettings& s, std::string& error) {
    if (!value.is_object()) {
        error = "cluster must be an object";
        return false;
    }
    ClusterSettings cluster;
    if (!readStringMember(value, "cluster", "redis", cluster.redis, error) ||
        !readStringMember(value, "cluster", "instance", cluster.instance, error) ||
        !readStringMember(value, "cluster", "user", cluster.user, error))
        return false;
    if (const auto tls = value.find("tls"); tls != value.end()) {
        if (!tls->is_object()) {
            error = "cluster.tls must be an object";
            return false;
        }
        if (!readStringMember(*tls, "cluster.tls", "ca_file", cluster.tls.caFile, error) ||
            !readStringMember(*tls, "cluster.tls", "cert_file", cluster.tls.certFile, error) ||
            !readStringMember(*tls, "cluster.tls", "key_file", cluster.tls.keyFile, error))
            return false;
        if (cluster.tls.certFile.empty() != cluster.tls.keyFile.empty()) {
            error = "cluster.tls.cert_file and cluster.tls.key_file go together: set both or neither";
            return false;
        }
    }
    if (cluster.instance.size() > 64 ||
        cluster.instance.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") !=
            std::string::npos) {
        error = "cluster.instance must be at most 64 letters, digits, '.', '_' or '-'";
        return false;
    }
    constexpr uint32_t shortest = 10, longest = 3600000; // ms
    if (!readBoundedMember(value, "cluster", "heartbeat_ms", shortest, longest, cluster.heartbeatMs, error) ||
        !readBoundedMember(value, "cluster", "instance_timeout_ms", shortest, longest, cluster.instanceTimeoutMs,
                           error) ||
        !readBoundedMember(value, "cluster", "failover_wait_ms", 0, longest, cluster.failoverWaitMs, error))
        return false;
    if (cluster.instanceTimeoutMs < 2 * cluster.heartbeatMs) {
        error = "cluster.instance_timeout_ms must be at least twice cluster.heartbeat_ms";
        return false;
    }
    if (!readSentinels(value, cluster, error))
        return false;
    s.cluster = std::move(cluster);
    return true;
}

// The "auth" object. A key set or a secret is required: with neither, no token could ever be accepted.
bool readAuth(const json& value, ServerSettings& s, std::string& error) {
    if (!value.is_object()) {
        error = "auth must be an object";
        return false;
    }
    AuthSettings auth;
    if (!readStringMember(value, "auth", "issuer", auth.issuer, error) ||
        !readStringMember(value, "auth", "audience", auth.audience, error) ||
        !readStringMember(value, "auth", "keys", auth.keysFile, error) ||
        !readStringMember(value, "auth", "hs256_secret", auth.hs256Secret, error) ||
        !readBoundedMember(value, "auth", "leeway_seconds", 0, 3600, auth.leewaySeconds, error))
        return false;
    if (auto require = value.find("require"); require != value.end()) {
        if (!require->is_boolean()) {
            error = "auth.require must be true or false";
            return false;
        }
        auth.require = require->get<bool>();
    }
    s.auth = std::move(auth);
    return true;
}

// Visits the keys in their fixed order; the first failure ends the load.
bool applyKeys(const json& root, ServerSettings& s, std::string& error) {
    if (!readPort(root, "port", 1, s.port, error))
        return false;
    readKey(root, "bind_address", s.bindAddress);
    readKey(root, "password", s.password);
    readKey(root, "log_level", s.logLevel);
    readKey(root, "log_format", s.logFormat);
    if (s.logFormat != "text" && s.logFormat != "json")
        throw KeyError("log_format", "\"text\" or \"json\"");
    readKey(root, "allow_turn", s.allowTurn);
    readKey(root, "connection_timeout_ms", s.connectionTimeoutMs);
    readKey(root, "max_message_size", s.maxMessageSize);
    readKey(root, "max_connections", s.maxConnections);
    readKey(root, "max_connections_per_ip", s.maxConnectionsPerIp);
    readKey(root, "max_rooms", s.maxRooms);
    if (const json* tls = section(root, "tls")) {
        readKey(*tls, "enabled", s.tls.enabled, "tls");
        readKey(*tls, "cert_file", s.tls.certFile, "tls");
        readKey(*tls, "key_file", s.tls.keyFile, "tls");
        readKey(*tls, "key_password", s.tls.keyPassword, "tls");
    }

    readKey(root, "web_client", s.webClient);
    if (const json* admin = section(root, "admin")) {
        readKey(*admin, "bind_address", s.admin.bindAddress, "admin");
        if (!readPort(*admin, "port", 0, s.admin.port, error, "admin")) {
            error = "admin." + error;
            return false;
        }
    }
    readKey(root, "drain_timeout_ms", s.drainTimeoutMs);
    readKey(root, "resume_grace_ms", s.resumeGraceMs);
    readKey(root, "trusted_proxies", s.trustedProxies);
    readKey(root, "proxy_protocol", s.proxyProtocol);
    readKey(root, "allowed_origins", s.allowedOrigins);
    if (!readRateLimit(root, "max_password_failures_per_ip", s.maxPasswordFailuresPerIp, error) ||
        !readRateLimit(root, "max_joins_per_ip_per_minute", s.maxJoinsPerIpPerMinute, error))
        return false;
    readKey(root, "ipv6_prefix_length", s.ipv6PrefixLength);
    if (s.ipv6PrefixLength < 1 || s.ipv6PrefixLength > 128) {
        error = "ipv6_prefix_length out of range (1-128)";
        return false;
    }
    if (auto turn = root.find("turn"); turn != root.end() && !readTurn(*turn, s, error))
        return false;
    if (auto auth = root.find("auth"); auth != root.end() && !readAuth(*auth, s, error))
        return false;
    if (auto cluster = root.find("cluster"); cluster != root.end())
        return readCluster(*cluster, s, error);
    return true;
}

} // namespace

bool loadConfig(const std::string& path, ServerSettings& settings, std::string& error,
                std::vector<std::string>* warnings) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "could not open " + path;
        return false;
    }
    std::string text;
    try {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        // A read error (the path names a directory, say) throws from the stream buffer: no configuration either.
        error = "could not open " + path;
        return false;
    }
    if (in.bad()) {
        error = "could not open " + path;
        return false;
    }

    json root;
    try {
        root = json::parse(text, nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/true);
    } catch (const json::exception& e) {
        error = std::string("invalid JSON: ") + e.what();
        return false;
    }
    if (!root.is_object()) {
        error = "top level must be a JSON object";
        return false;
    }
    if (warnings)
        *warnings = unknownKeyWarnings(root);
    try {
        if (!applyKeys(root, settings, error))
            return false;
    } catch (const KeyError& e) {
        error = e.what();
        return false;
    } catch (const json::exception& e) {
        error = std::string("config field error: ") + e.what();
        return false;
    }
    if (settings.tls.enabled && (settings.tls.certFile.empty() || settings.tls.keyFile.empty())) {
        error = "tls.enabled is true but cert_file/key_file are empty";
        return false;
    }
    // Relative to the configuration file, as an operator reading it would expect, not to the working directory.
    const auto besideFile = [&path](std::string& file) {
        const std::filesystem::path named(file);
        if (!file.empty() && named.is_relative())
            file = (std::filesystem::path(path).parent_path() / named).string();
    };
    if (settings.auth)
        besideFile(settings.auth->keysFile);
    if (settings.cluster)
        for (std::string* file :
             {&settings.cluster->tls.caFile, &settings.cluster->tls.certFile, &settings.cluster->tls.keyFile})
            besideFile(*file);
    if (settings.turn && !settings.allowTurn) {
        error = "turn is set but allow_turn is false: relay candidates would be stripped, so the TURN server "
                "could never be used";
        return false;
    }
    return true;
}

} // namespace murva
