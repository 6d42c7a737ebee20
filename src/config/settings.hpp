// The settings record: one value per server, filled at start and handed to whatever needs it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace murva {

struct TlsSettings {
    bool enabled = false; // serve wss:// with the PEM files below
    std::string certFile;
    std::string keyFile;
    std::string keyPassword; // pass phrase of an encrypted key; empty: none
};

// The second listener, for metrics and health checks; port 0: none.
struct AdminSettings {
    std::string bindAddress = "127.0.0.1";
    uint16_t port = 0;
};

// Short-lived TURN credentials handed out in every "joined" (the TURN REST scheme coturn's use-auth-secret takes).
struct TurnSettings {
    std::vector<std::string> urls; // turn: and turns: URLs of one TURN service that shares the secret
    std::string secret;            // MURVA_SIGNAL_TURN_SECRET or the credential turn-secret replaces it
    uint32_t ttlSeconds = 3600;    // a credential stops working this long after it was issued
};

// Join tokens signed by the operator's application: who may join which room, for how long.
struct AuthSettings {
    std::string issuer;          // "iss" a token must carry; empty: not checked
    std::string audience;        // "aud" a token must name; empty: not checked
    std::string keysFile;        // JSON Web Key Set of public keys, by "kid"; relative paths are the file's
    std::string hs256Secret;     // MURVA_SIGNAL_AUTH_SECRET, when set, replaces the file's value; empty: no HS256
    uint32_t leewaySeconds = 30; // clock skew allowed on exp, nbf and iat
    bool require = true;         // false: a join without a token is let in (one with a token must still pass)
};

// TLS to Redis (rediss://): PEM files, relative paths taken from the configuration file's folder.
struct ClusterTlsSettings {
    std::string caFile;   // the CAs the server's certificate must chain to; empty: the system's
    std::string certFile; // with keyFile: the certificate shown when Redis asks for one
    std::string keyFile;
};

// Rooms shared with the other instances of one service through Redis.
struct ClusterSettings {
    std::string redis = "redis://127.0.0.1:6379/0";
    std::string instance;      // this instance's name among them; empty: made up at start
    std::string user;          // the Redis ACL user; empty: the URL's, else the default user
    std::string redisPassword; // MURVA_SIGNAL_REDIS_PASSWORD or the credential redis-password
    ClusterTlsSettings tls;
    // Non-empty: the master's address is asked of these sentinels ("host:port" each, checked when read) and
    // `redis` gives only the database and the credentials.
    std::vector<std::string> sentinels;
    std::string masterName;            // the name the sentinels monitor the master under; needed with sentinels
    std::string sentinelPassword;      // MURVA_SIGNAL_SENTINEL_PASSWORD or the credential sentinel-password
    uint32_t heartbeatMs = 1000;       // how often the instance says it is alive
    uint32_t instanceTimeoutMs = 5000; // silence after which its rooms are freed by the others
    // While Redis is unreachable, joins wait this long for it and pairs across instances are kept this long;
    // 0: joins are refused and those pairs end at once.
    uint32_t failoverWaitMs = 5000;
};

struct ServerSettings {
    uint16_t port = 8080;
    std::string bindAddress = "0.0.0.0"; // empty or 0.0.0.0: every interface
    std::string password;                // empty: open server
    std::string logLevel = "warning";
    std::string logFormat = "text";    // "text" or "json": one object per line on stdout and stderr
    uint32_t connectionTimeoutMs = 0;  // TLS + upgrade; 0: the transport's default
    uint32_t maxMessageSize = 65536;   // bytes; 0: the transport's default
    uint32_t maxConnections = 1024;    // 0: no limit
    uint32_t maxConnectionsPerIp = 32; // 0: no limit
    uint32_t maxRooms = 4096;          // 0: no limit
    bool allowTurn = true;             // false: relay candidates are stripped from what is forwarded
    TlsSettings tls;

    bool webClient = true;           // serve the browser client at /
    AdminSettings admin;             // /metrics, /healthz, /readyz
    uint32_t drainTimeoutMs = 10000; // how long open connections may finish after a stop signal; 0: close at once
    uint32_t resumeGraceMs = 30000;  // how long a dropped member's slot waits for it to resume; 0: never held

    std::vector<std::string> trustedProxies; // addresses or CIDR ranges whose forwarded client address is believed
    bool proxyProtocol = false;              // every connection starts with a PROXY header from a trusted proxy
    std::vector<std::string> allowedOrigins; // upgrade requests' Origin values let in; empty: any
    uint32_t maxPasswordFailuresPerIp = 10;  // wrong passwords per minute from one address; 0: no limit
    uint32_t maxJoinsPerIpPerMinute = 0;     // joins per minute from one address; 0: no limit
    uint32_t ipv6PrefixLength = 64;          // per-address limits count an IPv6 client by this network (1-128)

    std::optional<TurnSettings> turn;       // empty: no "turn" key, and "joined" carries no TURN credentials
    std::optional<AuthSettings> auth;       // empty: joins carry no token
    std::optional<ClusterSettings> cluster; // empty: rooms are this server's alone
};

} // namespace murva
