// Reloading the configuration file on SIGHUP.
#include "app/reload.hpp"

#include <functional>
#include <iostream>
#include <stdexcept>
#include <vector>

#include "config/config_loading.hpp"
#include "signaling/trusted_proxies.hpp"

namespace murva {

namespace {

struct Key {
    const char* name;
    std::function<bool(const ServerSettings&, const ServerSettings&)> differs;
    std::function<void(ServerSettings& next, const ServerSettings& running)> keep; // empty: applied on reload
};

template <class Field> Key key(const char* name, Field field, bool restart = false) {
    Key k{name, [field](const ServerSettings& a, const ServerSettings& b) { return field(a) != field(b); }, {}};
    if (restart)
        k.keep = [field](ServerSettings& next, const ServerSettings& running) { field(next) = field(running); };
    return k;
}

// Every key, with whether it needs a restart: what the listening sockets, the transport's configuration or
// another instance depend on.
const std::vector<Key>& keys() {
    using S = ServerSettings;
    static const std::vector<Key> all = {
        key(
            "port", [](auto& s) -> auto& { return s.port; }, true),
        key(
            "bind_address", [](auto& s) -> auto& { return s.bindAddress; }, true),
        key(
            "admin.bind_address", [](auto& s) -> auto& { return s.admin.bindAddress; }, true),
        key(
            "admin.port", [](auto& s) -> auto& { return s.admin.port; }, true),
        key(
            "tls.enabled", [](auto& s) -> auto& { return s.tls.enabled; }, true),
        key(
            "tls.cert_file", [](auto& s) -> auto& { return s.tls.certFile; }, true),
        key(
            "tls.key_file", [](auto& s) -> auto& { return s.tls.keyFile; }, true),
        key(
            "tls.key_password", [](auto& s) -> auto& { return s.tls.keyPassword; }, true),
        key(
            "proxy_protocol", [](auto& s) -> auto& { return s.proxyProtocol; }, true),
        key(
            "max_message_size", [](auto& s) -> auto& { return s.maxMessageSize; }, true),
        key(
            "connection_timeout_ms", [](auto& s) -> auto& { return s.connectionTimeoutMs; }, true),
        key(
            "resume_grace_ms", [](auto& s) -> auto& { return s.resumeGraceMs; }, true),
        Key{"cluster",
            [](const S& a, const S& b) {
                return a.cluster.has_value() != b.cluster.has_value() ||
                       (a.cluster &&
                        (a.cluster->redis != b.cluster->redis || a.cluster->instance != b.cluster->instance ||
                         a.cluster->redisPassword != b.cluster->redisPassword || a.cluster->user != b.cluster->user ||
                         a.cluster->tls.caFile != b.cluster->tls.caFile ||
                         a.cluster->tls.certFile != b.cluster->tls.certFile ||
                         a.cluster->tls.keyFile != b.cluster->tls.keyFile ||
                         a.cluster->heartbeatMs != b.cluster->heartbeatMs ||
                         a.cluster->instanceTimeoutMs != b.cluster->instanceTimeoutMs ||
                         a.cluster->sentinels != b.cluster->sentinels ||
                         a.cluster->masterName != b.cluster->masterName ||
                         a.cluster->sentinelPassword != b.cluster->sentinelPassword));
            },
            [](S& next, const S& running) {
                const auto wait = next.cluster ? next.cluster->failoverWaitMs : 0;
                const bool both = next.cluster && running.cluster;
                next.cluster = running.cluster;
                if (both) // the one cluster key a reload applies
                    next.cluster->failoverWaitMs = wait;
            }},
        Key{"cluster.failover_wait_ms",
            [](const S& a, const S& b) {
                return a.cluster && b.cluster && a.cluster->failoverWaitMs != b.cluster->failoverWaitMs;
            },
            {}},
        key(
            "password", [](auto& s) -> auto& { return s.password; }),
        key(
            "log_level", [](auto& s) -> auto& { return s.logLevel; }),
        key(
            "log_format", [](auto& s) -> auto& { return s.logFormat; }),
        key(
            "allow_turn", [](auto& s) -> auto& { return s.allowTurn; }),
        key(
            "max_connections", [](auto& s) -> auto& { return s.maxConnections; }),
        key(
            "max_connections_per_ip", [](auto& s) -> auto& { return s.maxConnectionsPerIp; }),
        key(
            "max_rooms", [](auto& s) -> auto& { return s.maxRooms; }),
        key(
            "web_client", [](auto& s) -> auto& { return s.webClient; }),
        key(
            "drain_timeout_ms", [](auto& s) -> auto& { return s.drainTimeoutMs; }),
        key(
            "trusted_proxies", [](auto& s) -> auto& { return s.trustedProxies; }),
        key(
            "allowed_origins", [](auto& s) -> auto& { return s.allowedOrigins; }),
        key(
            "max_password_failures_per_ip", [](auto& s) -> auto& { return s.maxPasswordFailuresPerIp; }),
        key(
            "max_joins_per_ip_per_minute", [](auto& s) -> auto& { return s.maxJoinsPerIpPerMinute; }),
        key(
            "ipv6_prefix_length", [](auto& s) -> auto& { return s.ipv6PrefixLength; }),
        Key{"turn",
            [](const S& a, const S& b) {
                return a.turn.has_value() != b.turn.has_value() ||
                       (a.turn && (a.turn->urls != b.turn->urls || a.turn->secret != b.turn->secret ||
                                   a.turn->ttlSeconds != b.turn->ttlSeconds));
            },
            {}},
        Key{"auth",
            [](const S& a, const S& b) {
                return a.auth.has_value() != b.auth.has_value() ||
                       (a.auth &&
                        (a.auth->issuer != b.auth->issuer || a.auth->audience != b.auth->audience ||
                         a.auth->keysFile != b.auth->keysFile || a.auth->hs256Secret != b.auth->hs256Secret ||
                         a.auth->leewaySeconds != b.auth->leewaySeconds || a.auth->require != b.auth->require));
            },
            {}},
    };
    return all;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

void fail(Server& server, const std::string& path, const std::string& reason) {
    std::cerr << "Reload of " << path << " failed, nothing changed: " << reason << "\n";
    server.countReload(false);
    server.console().event(Severity::Error, "reload", "Reload of " + path + " failed; the running settings stay",
                           {{"result", "failed"}});
}

} // namespace

void reloadConfiguration(Server& server, const std::string& path) {
    auto& console = server.console();
    console.flushRefusals();
    const auto running = server.settings();
    if (path.empty()) {
        std::string msg = "Reload: no configuration file (started with PORT on the command line), so ";
        if (running->tls.enabled) {
            try {
                server.transport().reloadCertificate();
                msg += "only the TLS certificate and key were read again";
            } catch (const std::exception& e) {
                std::cerr << "TLS reload failed, keeping the current certificate: " << e.what() << "\n";
                server.countReload(false);
                return;
            }
        } else {
            msg += "nothing was read again";
        }
        server.countReload(true);
        return console.event(Severity::Info, "reload", msg, {{"result", "ok"}});
    }

    ServerSettings next;
    std::string error;
    if (!readSettingsFile(path, next, error))
        return fail(server, path, error);
    if (!readPassword(next, error))
        return fail(server, path, error);
    if (!TrustedProxies::parse(next.trustedProxies, error))
        return fail(server, path, "\"trusted_proxies\": " + error);

    std::vector<std::string> restart, applied;
    for (const Key& k : keys()) {
        if (!k.differs(next, *running))
            continue;
        if (k.keep) {
            restart.push_back(k.name);
            k.keep(next, *running);
        } else {
            applied.push_back(k.name);
        }
    }
    if (running->tls.enabled) {
        try {
            server.transport().reloadCertificate(); // the pair is read again even when the paths stay
        } catch (const std::exception& e) {
            return fail(server, path, std::string("TLS reload failed, keeping the current certificate: ") + e.what());
        }
    }
    if (!restart.empty())
        std::cerr << "Changed in " << path << " but kept until a restart: " << joined(restart) << "\n";
    try {
        server.applySettings(next); // reads the join tokens' key set again, even from the same path
    } catch (const std::invalid_argument& e) {
        return fail(server, path, e.what());
    }
    server.countReload(true);
    std::string msg = "Reloaded " + path + ": " + (applied.empty() ? "no changes" : joined(applied) + " applied");
    if (running->tls.enabled)
        msg += "; TLS certificate read again";
    if (next.auth && !next.auth->keysFile.empty())
        msg += "; auth keys read again";
    console.event(Severity::Info, "reload", msg, {{"result", "ok"}, {"applied", applied}, {"restart_needed", restart}});
}

} // namespace murva
