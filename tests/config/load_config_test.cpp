// Reading one configuration file: every failure text, the conversions of each key, the order in which keys are
// read, and what is ignored.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "config_test_util.hpp"

using namespace config_test;
using testing_support::TempDir;

namespace {

const std::string portError = "port out of range (1-65535)";
const std::string tlsError = "tls.enabled is true but cert_file/key_file are empty";

// The error of a load that must fail.
std::string failureOf(const std::string& text) {
    const auto result = loadText(text);
    EXPECT_FALSE(result.ok) << text;
    return result.error;
}

// The settings of a load that must succeed.
ServerSettings settingsOf(const std::string& text) {
    const auto result = loadText(text);
    EXPECT_TRUE(result.ok) << text << " -> " << result.error;
    return result.settings;
}

} // namespace

TEST(LoadConfigFailure, PathsThatCannotBeReadAreNamedInTheError) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("a-directory"));
    std::filesystem::create_symlink(dir.file("nowhere.json"), dir.file("dangling.json"));
    std::filesystem::create_symlink(dir.file("loop.json"), dir.file("loop.json"));

    for (const std::string& path : {dir.file("missing.json"), dir.file("a-directory"), dir.file("dangling.json"),
                                    dir.file("loop.json"), std::string("")}) {
        ServerSettings settings;
        std::string error;
        EXPECT_FALSE(loadConfig(path, settings, error)) << path;
        EXPECT_EQ(error, "could not open " + path);
        EXPECT_EQ(fieldsOf(settings), fieldsOf(ServerSettings{})) << path;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("nowhere.json"))); // loading never creates anything
}

TEST(LoadConfigFailure, SyntaxErrorsCarryTheParserTextWithLineAndColumn) {
    const std::string prefix = "invalid JSON: [json.exception.parse_error.101] parse error at ";
    EXPECT_EQ(failureOf(""),
              prefix + "line 1, column 1: syntax error while parsing value - unexpected end of input; expected '[', "
                       "'{', or a literal");
    EXPECT_EQ(failureOf("{\n  \"port\": 9000,\n}\n"),
              prefix + "line 3, column 1: syntax error while parsing object key - unexpected '}'; expected string "
                       "literal");
    EXPECT_EQ(failureOf("{ /* x"), prefix + "line 1, column 7: syntax error while parsing object key - invalid "
                                            "comment; missing closing '*/'; last read: '{ /* x'; expected string "
                                            "literal");

    // Comments count as whitespace, nothing more: a file of comments alone is still empty, and no other
    // relaxation (single quotes, bare words) is made.
    for (const std::string text : {"// just a comment\n", "  \n\n", "{'port': 9000}", "{port: 9000}",
                                   "{\"port\": 9000} extra", "{\"a\": 1 /* fine */, }"})
        EXPECT_EQ(failureOf(text).rfind(prefix, 0), 0u) << text;
}

TEST(LoadConfigFailure, TopLevelMustBeAnObject) {
    for (const std::string text : {"[]", "[{\"port\": 9000}]", "\"text\"", "8080", "true", "null"})
        EXPECT_EQ(failureOf(text), "top level must be a JSON object") << text;
}

TEST(LoadConfigFailure, LoadingPrintsNothing) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    loadText("{\"port\": 0}");
    loadText("[]");
    loadText("{\"log_level\": \"loud\", \"port\": 9000}");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(LoadConfigPort, RangeIsTestedOnTheConvertedValue) {
    for (const std::string value : {"0", "-1", "65536", "70000", "0.5", "-0.9", "false", "1e300", "-1e300",
                                    "4294967376", "-4294967216", "18446744073709551615", "4294967376.5"})
        EXPECT_EQ(failureOf("{\"port\": " + value + "}"), portError) << value;

    EXPECT_EQ(settingsOf(R"({"port": 1})").port, 1);
    EXPECT_EQ(settingsOf(R"({"port": 65535})").port, 65535);
    EXPECT_EQ(settingsOf(R"({"port": 8080.9})").port, 8080); // truncated, not rounded
    EXPECT_EQ(settingsOf(R"({"port": 65535.9})").port, 65535);
    EXPECT_EQ(settingsOf(R"({"port": 1.5e3})").port, 1500);
    EXPECT_EQ(settingsOf(R"({"port": true})").port, 1);

    EXPECT_EQ(failureOf(R"({"port": "8080"})"), R"("port": must be a number)");
    EXPECT_EQ(failureOf(R"({"port": null})"), R"("port": must be a number)");
}

TEST(LoadConfigFields, WrongTypesNameTheirKeyAndTheTypeWanted) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"bind_address": 127})", R"("bind_address": must be a string)"},
        {R"({"password": null})", R"("password": must be a string)"},
        {R"({"log_level": ["info"]})", R"("log_level": must be a string)"},
        {R"({"log_format": "xml"})", R"("log_format": must be "text" or "json")"},
        {R"({"allow_turn": 0})", R"("allow_turn": must be true or false)"},
        {R"({"connection_timeout_ms": "5000"})", R"("connection_timeout_ms": must be a number)"},
        {R"({"max_connections": null})", R"("max_connections": must be a number)"},
        {R"({"trusted_proxies": "10.0.0.1"})", R"("trusted_proxies": must be an array of strings)"},
        {R"({"tls": true})", R"("tls": must be an object)"},
        {R"({"tls": {"enabled": "yes"}})", R"("tls.enabled": must be true or false)"},
        {R"({"tls": {"key_password": 1234}})", R"("tls.key_password": must be a string)"},
        {R"({"admin": {"port": "9090"}})", R"("admin.port": must be a number)"},
        {R"({"admin": {"bind_address": 1}})", R"("admin.bind_address": must be a string)"},
    };
    for (const auto& [text, message] : cases)
        EXPECT_EQ(failureOf(text), message) << text;
}

TEST(LoadConfigFields, NumbersConvertToUnsigned32Bits) {
    EXPECT_EQ(settingsOf(R"({"max_connections": -1})").maxConnections, 4294967295u);
    EXPECT_EQ(settingsOf(R"({"max_connections": 4294967296})").maxConnections, 0u); // low 32 bits
    EXPECT_EQ(settingsOf(R"({"max_connections": 4294967297})").maxConnections, 1u);
    EXPECT_EQ(settingsOf(R"({"max_rooms": true})").maxRooms, 1u);
    EXPECT_EQ(settingsOf(R"({"max_rooms": false})").maxRooms, 0u);
    EXPECT_EQ(settingsOf(R"({"max_rooms": 0})").maxRooms, 0u);
    EXPECT_EQ(settingsOf(R"({"max_message_size": 1.99})").maxMessageSize, 1u);
    EXPECT_EQ(settingsOf(R"({"connection_timeout_ms": 2500.5})").connectionTimeoutMs, 2500u);
    // A fraction is cut toward zero before the low 32 bits are kept, as for -1.
    EXPECT_EQ(settingsOf(R"({"max_connections_per_ip": -5.5})").maxConnectionsPerIp, 4294967291u);

    // Beyond any integer: a plain float-to-integer cast would be undefined (and gives 0 on x86); the value
    // saturates at the 64-bit limits first, whose low 32 bits are all ones, or zero for the negative end.
    EXPECT_EQ(settingsOf(R"({"max_rooms": 1e300})").maxRooms, 4294967295u);
    EXPECT_EQ(settingsOf(R"({"max_rooms": -1e300})").maxRooms, 0u);
    EXPECT_EQ(settingsOf(R"({"max_message_size": 1.8446744073709552e19})").maxMessageSize, 4294967295u);
}

TEST(LoadConfigFields, RateLimitsAreRangeCheckedBeforeAnyNarrowing) {
    for (const std::string key : {"max_password_failures_per_ip", "max_joins_per_ip_per_minute"}) {
        const std::string rangeError = key + " out of range (0-10000)";
        // Values whose low 32 bits would pass the check (0 means no limit at all).
        for (const std::string value : {"10001", "-1", "4294967296", "4294967297", "18446744073709551615", "1e300"})
            EXPECT_EQ(failureOf("{\"" + key + "\": " + value + "}"), rangeError) << value;
        for (const auto& [value, expected] : std::vector<std::pair<std::string, uint32_t>>{
                 {"10000", 10000}, {"0", 0}, {"10000.9", 10000}, {"true", 1}}) {
            const auto s = settingsOf("{\"" + key + "\": " + value + "}");
            EXPECT_EQ(key == "max_joins_per_ip_per_minute" ? s.maxJoinsPerIpPerMinute : s.maxPasswordFailuresPerIp,
                      expected)
                << key << " " << value;
        }
    }
}

TEST(LoadConfigOrder, KeysAreReadInTheirFixedOrderAndTheFirstFailureWins) {
    // Object members are not visited in file order: "port" is read first wherever it stands.
    EXPECT_EQ(failureOf(R"({"max_rooms": "many", "port": 0})"), portError);
    EXPECT_EQ(failureOf(R"({"port": 0, "max_rooms": "many"})"), portError);
    EXPECT_EQ(failureOf(R"({"password": 1, "allow_turn": 0})"), R"("password": must be a string)");
    EXPECT_EQ(failureOf(R"({"max_rooms": "x", "max_connections": "y"})"), R"("max_connections": must be a number)");
    // Inside "tls", "enabled" comes before the file names.
    EXPECT_EQ(failureOf(R"({"tls": {"cert_file": 1, "enabled": "on"}})"), R"("tls.enabled": must be true or false)");
    // The TLS rule is checked only after every key converted.
    EXPECT_EQ(failureOf(R"({"tls": {"enabled": true}, "allow_turn": 0})"), R"("allow_turn": must be true or false)");
    EXPECT_EQ(failureOf(R"({"tls": {"enabled": true}, "port": 99999})"), portError);
}

TEST(LoadConfigKeys, OnlyKeysPresentChangeTheirFieldsAndOthersAreIgnored) {
    const ServerSettings defaults;
    EXPECT_EQ(fieldsOf(settingsOf("{}")), fieldsOf(defaults));
    EXPECT_EQ(fieldsOf(settingsOf("// header\n{ /* nothing */ }\n// trailer\n")), fieldsOf(defaults));

    // Keys are matched exactly, case included; unknown ones (also inside "tls") are skipped silently.
    EXPECT_EQ(fieldsOf(settingsOf(R"({"Port": 1, "PORT": 0, "max-rooms": "x", "extra": [1, {"port": 2}],
                                      "tls": {"Enabled": true, "cert": 5}})")),
              fieldsOf(defaults));

    ServerSettings expected;
    expected.port = 9000;
    expected.password = "s3cret";
    expected.maxRooms = 7;
    EXPECT_EQ(fieldsOf(settingsOf(R"({"max_rooms": 7, "password": "s3cret", "port": 9000})")), fieldsOf(expected));

    // The bytes of a string are taken as they are; CR LF line ends and comments up to them are fine.
    const auto crlf =
        settingsOf("{\r\n  \"bind_address\": \"::1\", // loopback\r\n  \"log_level\": \"Debug \"\r\n}\r\n");
    EXPECT_EQ(crlf.bindAddress, "::1");
    EXPECT_EQ(crlf.logLevel, "Debug ");
    EXPECT_EQ(settingsOf("{\"password\": \"p\\u00e4ss \\\"q\\\"\"}").password, "p\xc3\xa4ss \"q\"");
}

TEST(LoadConfigKeys, EveryKeyReachesItsField) {
    const auto s = settingsOf(R"({
        "port": 4433, "bind_address": "127.0.0.1", "password": "pw", "log_level": "debug", "allow_turn": false,
        "connection_timeout_ms": 1500, "max_message_size": 4096, "max_connections": 10,
        "max_connections_per_ip": 2, "max_rooms": 3,
        "tls": {"enabled": true, "cert_file": "c.pem", "key_file": "k.pem", "key_password": "kp"}})");
    EXPECT_EQ(fieldsOf(s), std::make_tuple(uint16_t{4433}, std::string("127.0.0.1"), std::string("pw"),
                                           std::string("debug"), 1500u, 4096u, 10u, 2u, 3u, false, true,
                                           std::string("c.pem"), std::string("k.pem"), std::string("kp")));
}

TEST(LoadConfigTls, OnlyAnObjectCountsAndEnabledNeedsBothFiles) {
    // "tls": true would otherwise serve plain ws:// to an operator who asked for wss://.
    for (const std::string value : {"\"on\"", "true", "[true]", "null", "1"})
        EXPECT_EQ(failureOf("{\"tls\": " + value + "}"), R"("tls": must be an object)") << value;

    EXPECT_EQ(failureOf(R"({"tls": {"enabled": true}})"), tlsError);
    EXPECT_EQ(failureOf(R"({"tls": {"enabled": true, "cert_file": "cert.pem"}})"), tlsError);
    EXPECT_EQ(failureOf(R"({"tls": {"enabled": true, "key_file": "key.pem"}})"), tlsError);
    EXPECT_EQ(failureOf(R"({"tls": {"enabled": true, "cert_file": "", "key_file": "key.pem"}})"), tlsError);

    EXPECT_FALSE(settingsOf(R"({"tls": {"enabled": false}})").tls.enabled);
    // File names without "enabled" are kept but do nothing by themselves.
    const auto off = settingsOf(R"({"tls": {"cert_file": "c.pem"}})");
    EXPECT_FALSE(off.tls.enabled);
    EXPECT_EQ(off.tls.certFile, "c.pem");

    // Whether the files exist is not this step's business.
    const auto on = settingsOf(R"({"tls": {"enabled": true, "cert_file": "/no/such/cert", "key_file": "k"}})");
    EXPECT_TRUE(on.tls.enabled);
    EXPECT_EQ(on.tls.certFile, "/no/such/cert");
    EXPECT_EQ(on.tls.keyFile, "k");
    EXPECT_EQ(on.tls.keyPassword, "");
}

TEST(LoadConfigTurn, MalformedTurnKeysAreRefusedAndAWellFormedOneIsKept) {
    const std::string urlsError = "turn.urls must be a non-empty array of turn: or turns: URLs";
    const std::string ttlError = "turn.ttl_seconds must be a whole number from 1 to 604800";
    const std::pair<std::string, std::string> cases[] = {
        {R"("turn": "turn:127.0.0.1")", "turn must be an object"},
        {R"("turn": null)", "turn must be an object"},
        {R"("turn": {})", urlsError},
        {R"("turn": {"urls": []})", urlsError},
        {R"("turn": {"urls": "turn:127.0.0.1"})", urlsError},
        {R"("turn": {"urls": ["turn:a", 7]})", "turn.urls[1] must be a string starting with turn: or turns:"},
        {R"("turn": {"urls": ["stun:a"]})", "turn.urls[0] must be a string starting with turn: or turns:"},
        {R"("turn": {"urls": ["turn:"]})", "turn.urls[0] must be a string starting with turn: or turns:"},
        {R"("turn": {"urls": ["turn:a"], "secret": 5})", "turn.secret must be a string"},
        {R"("turn": {"urls": ["turn:a"], "ttl_seconds": 0})", ttlError},
        {R"("turn": {"urls": ["turn:a"], "ttl_seconds": -60})", ttlError},
        {R"("turn": {"urls": ["turn:a"], "ttl_seconds": 604801})", ttlError},
        {R"("turn": {"urls": ["turn:a"], "ttl_seconds": 18446744073709551615})", ttlError},
        {R"("turn": {"urls": ["turn:a"], "ttl_seconds": 60.5})", ttlError},
        {R"("turn": {"urls": ["turn:a"], "ttl_seconds": "60"})", ttlError},
        {R"("turn": {"urls": ["turn:a"], "secret": "s"}, "allow_turn": false)",
         "turn is set but allow_turn is false: relay candidates would be stripped, so the TURN server could never "
         "be used"},
    };
    for (const auto& [members, error] : cases)
        EXPECT_EQ(failureOf("{" + members + "}"), error) << members;

    EXPECT_FALSE(settingsOf("{}").turn);
    const auto s = settingsOf(R"({"turn": {"urls": ["turn:t.example:3478?transport=udp", "turns:t.example:5349"],
                                           "secret": "k", "ttl_seconds": 604800}})");
    ASSERT_TRUE(s.turn);
    EXPECT_EQ(s.turn->urls, (std::vector<std::string>{"turn:t.example:3478?transport=udp", "turns:t.example:5349"}));
    EXPECT_EQ(s.turn->secret, "k");
    EXPECT_EQ(s.turn->ttlSeconds, 604800u);
    // The secret may still come from the environment.
    const auto bare = settingsOf(R"({"turn": {"urls": ["turn:t.example"]}})");
    ASSERT_TRUE(bare.turn);
    EXPECT_EQ(bare.turn->secret, "");
}

TEST(LoadConfigCluster, MalformedClusterKeysAreRefusedAndAWellFormedOneIsKept) {
    const std::string beatError = "cluster.heartbeat_ms must be a whole number from 10 to 3600000";
    const std::pair<std::string, std::string> cases[] = {
        {R"("cluster": "redis://r")", "cluster must be an object"},
        {R"("cluster": {"redis": 6379})", "cluster.redis must be a string"},
        {R"("cluster": {"instance": "a b"})", "cluster.instance must be at most 64 letters, digits, '.', '_' or '-'"},
        {R"("cluster": {"instance": "a\nM 1 x 2"})",
         "cluster.instance must be at most 64 letters, digits, '.', '_' or '-'"},
        {R"("cluster": {"heartbeat_ms": 0})", beatError},
        {R"("cluster": {"heartbeat_ms": 1.5})", beatError},
        {R"("cluster": {"heartbeat_ms": 1000, "instance_timeout_ms": 1500})",
         "cluster.instance_timeout_ms must be at least twice cluster.heartbeat_ms"},
        {R"("cluster": {"failover_wait_ms": -1})", "cluster.failover_wait_ms must be a whole number from 0 to 3600000"},
        {R"("cluster": {"user": ["murva"]})", "cluster.user must be a string"},
        {R"("cluster": {"tls": "ca.pem"})", "cluster.tls must be an object"},
        {R"("cluster": {"tls": {"ca_file": true}})", "cluster.tls.ca_file must be a string"},
        {R"("cluster": {"tls": {"cert_file": "c.pem"}})",
         "cluster.tls.cert_file and cluster.tls.key_file go together: set both or neither"},
        {R"("cluster": {"sentinels": ["s:26379"]})",
         "cluster.sentinels needs cluster.master_name, the name the sentinels monitor the master under"},
        {R"("cluster": {"master_name": "m"})", "cluster.master_name needs cluster.sentinels"},
        {R"("cluster": {"sentinels": [], "master_name": "m"})",
         "cluster.sentinels must be a non-empty array of \"host:port\" strings"},
        {R"("cluster": {"sentinels": "s:26379", "master_name": "m"})",
         "cluster.sentinels must be a non-empty array of \"host:port\" strings"},
        {R"("cluster": {"sentinels": ["s:26379", "::1:26379"], "master_name": "m"})",
         "cluster.sentinels[1] must be \"host:port\" (IPv6 in brackets)"},
        {R"("cluster": {"sentinels": ["s"], "master_name": "m"})",
         "cluster.sentinels[0] must be \"host:port\" (IPv6 in brackets)"},
    };
    for (const auto& [members, error] : cases)
        EXPECT_EQ(failureOf("{" + members + "}"), error) << members;

    EXPECT_FALSE(settingsOf("{}").cluster);
    const auto s = settingsOf(R"({"cluster": {"redis": "redis://10.0.0.5:6380/2", "instance": "eu-1.a_b",
                                              "heartbeat_ms": 200, "instance_timeout_ms": 400,
                                              "failover_wait_ms": 0}})");
    ASSERT_TRUE(s.cluster);
    EXPECT_EQ(s.cluster->redis, "redis://10.0.0.5:6380/2");
    EXPECT_EQ(s.cluster->instance, "eu-1.a_b");
    EXPECT_EQ(s.cluster->heartbeatMs, 200u);
    EXPECT_EQ(s.cluster->instanceTimeoutMs, 400u);
    EXPECT_EQ(s.cluster->failoverWaitMs, 0u); // joins refused and pairs ended at once, as a key of its own

    // TLS files are found beside the configuration file, as auth.keys is, whatever the working directory.
    TempDir dir;
    std::filesystem::create_directory(dir.file("conf"));
    dir.write("conf/c.json", R"({"cluster": {"user": "murva", "tls": {"ca_file": "tls/ca.pem",
                                   "cert_file": "/etc/murva/client.pem", "key_file": "client.key"}}})");
    ServerSettings tls;
    std::string error;
    ASSERT_TRUE(loadConfig(dir.file("conf/c.json"), tls, error)) << error;
    EXPECT_EQ(tls.cluster->user, "murva");
    EXPECT_EQ(tls.cluster->tls.caFile, dir.file("conf/tls/ca.pem"));
    EXPECT_EQ(tls.cluster->tls.certFile, "/etc/murva/client.pem");
    EXPECT_EQ(tls.cluster->tls.keyFile, dir.file("conf/client.key"));
    EXPECT_TRUE(s.cluster->sentinels.empty());
    const auto sentinels = settingsOf(R"({"cluster": {"sentinels": ["10.0.0.5:26379", "[fd00::7]:26380"],
                                                      "master_name": "murva"}})");
    ASSERT_TRUE(sentinels.cluster);
    EXPECT_EQ(sentinels.cluster->sentinels, (std::vector<std::string>{"10.0.0.5:26379", "[fd00::7]:26380"}));
    EXPECT_EQ(sentinels.cluster->masterName, "murva");
}

TEST(LoadConfigKeys, Ipv6PrefixLengthIsANetworkSize) {
    EXPECT_EQ(settingsOf(R"({"ipv6_prefix_length": 48})").ipv6PrefixLength, 48u);
    EXPECT_EQ(settingsOf(R"({"ipv6_prefix_length": 128})").ipv6PrefixLength, 128u);
    for (const char* value : {"0", "129", "-64"})
        EXPECT_EQ(failureOf(std::string(R"({"ipv6_prefix_length": )") + value + "}"),
                  "ipv6_prefix_length out of range (1-128)")
            << value;
}
