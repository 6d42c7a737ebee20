// What start-up makes of the settings: the transport's configuration and the five summary lines.
#include <gtest/gtest.h>

#include <sstream>

#include "app/server.hpp"
#include "app/startup.hpp"
#include "config/config_loading.hpp"

using namespace murva;

namespace {

using std::chrono::milliseconds;

class Summary : public testing::Test {
protected:
    static std::string summaryOf(const ServerSettings& settings) {
        std::ostringstream out;
        printSummary(out, settings);
        return out.str();
    }
};

const std::string shareLine = "Share this server's address with your buddies as the \"Server\" field.\n";

} // namespace

TEST(ServerConfiguration, DefaultsLeaveEverythingButPortAndMessageSizeToTheTransport) {
    const auto config = makeServerConfiguration(ServerSettings{});
    EXPECT_EQ(config.port, 8080);
    EXPECT_FALSE(config.bindAddress);
    EXPECT_FALSE(config.connectionTimeout);
    EXPECT_EQ(config.maxMessageSize, std::optional<std::size_t>(65536));
    EXPECT_FALSE(config.enableTls);
    EXPECT_FALSE(config.certificatePemFile);
    EXPECT_FALSE(config.keyPemFile);
    EXPECT_FALSE(config.keyPemPass);
    EXPECT_FALSE(config.idleTimeout);
    EXPECT_FALSE(config.maxBufferedAmount);
    EXPECT_FALSE(config.threads);
}

TEST(ServerConfiguration, OnlyMeaningfulValuesAreSet) {
    ServerSettings s;
    s.bindAddress = "";
    EXPECT_FALSE(makeServerConfiguration(s).bindAddress);
    for (const std::string address : {"127.0.0.1", "::", "::1", "0.0.0.0 ", "localhost"}) {
        s.bindAddress = address;
        EXPECT_EQ(makeServerConfiguration(s).bindAddress, address);
    }

    s.connectionTimeoutMs = 1500;
    s.maxMessageSize = 1;
    s.port = 65535;
    auto config = makeServerConfiguration(s);
    EXPECT_EQ(config.connectionTimeout, milliseconds(1500));
    EXPECT_EQ(config.maxMessageSize, std::optional<std::size_t>(1));
    EXPECT_EQ(config.port, 65535);

    s.connectionTimeoutMs = 4294967295u; // widened, not wrapped
    s.maxMessageSize = 4294967295u;
    config = makeServerConfiguration(s);
    EXPECT_EQ(config.connectionTimeout, milliseconds(4294967295LL));
    EXPECT_EQ(config.maxMessageSize, std::optional<std::size_t>(4294967295u));

    // 0 means "the transport's default", which is not the same as a zero limit.
    s.connectionTimeoutMs = 0;
    s.maxMessageSize = 0;
    config = makeServerConfiguration(s);
    EXPECT_FALSE(config.connectionTimeout);
    EXPECT_FALSE(config.maxMessageSize);
}

TEST(ServerConfiguration, TlsFieldsOnlyWhenEnabledAndPassPhraseOnlyWhenGiven) {
    ServerSettings s;
    s.tls.certFile = "cert.pem";
    s.tls.keyFile = "key.pem";
    s.tls.keyPassword = "phrase";
    auto config = makeServerConfiguration(s);
    EXPECT_FALSE(config.enableTls);
    EXPECT_FALSE(config.certificatePemFile);
    EXPECT_FALSE(config.keyPemFile);
    EXPECT_FALSE(config.keyPemPass);

    s.tls.enabled = true;
    config = makeServerConfiguration(s);
    EXPECT_TRUE(config.enableTls);
    EXPECT_EQ(config.certificatePemFile, "cert.pem");
    EXPECT_EQ(config.keyPemFile, "key.pem");
    EXPECT_EQ(config.keyPemPass, "phrase");

    s.tls.keyPassword = "";
    EXPECT_FALSE(makeServerConfiguration(s).keyPemPass);
}

TEST_F(Summary, DefaultSettingsPrintTheFiveLines) {
    EXPECT_EQ(summaryOf(ServerSettings{}),
              "murva-signal listening on ws://0.0.0.0:8080\n" + shareLine +
                  "No server password set (open server).\n"
                  "TURN-relayed transfers allowed.\n"
                  "Limits: max_connections=1024, per_ip=32, max_rooms=4096, max_message_size=65536B\n");
}

TEST_F(Summary, LinesFollowTheSettings) {
    ServerSettings s;
    s.port = 443;
    s.bindAddress = "";
    s.password = "pw";
    s.allowTurn = false;
    s.tls.enabled = true;
    s.maxConnections = 0;
    s.maxConnectionsPerIp = 4294967295u;
    s.maxRooms = 0;
    s.maxMessageSize = 0;
    EXPECT_EQ(summaryOf(s), "murva-signal listening on wss://:443\n" + shareLine +
                                "Server password required to join.\n"
                                "TURN disabled - direct P2P only (relay candidates stripped).\n"
                                "Limits: max_connections=0, per_ip=4294967295, max_rooms=0, max_message_size=0B\n");

    ServerSettings local;
    local.bindAddress = "127.0.0.1";
    local.port = 1;
    const auto text = summaryOf(local);
    EXPECT_EQ(text.substr(0, text.find('\n') + 1), "murva-signal listening on ws://127.0.0.1:1\n");
}

TEST_F(Summary, PasswordLineReflectsTheEnvironmentOverride) {
    ServerSettings fromFile;
    fromFile.password = "from-file";

    ASSERT_EQ(setenv("MURVA_SIGNAL_PASSWORD", "", 1), 0);
    auto cleared = fromFile;
    applyPasswordFromEnvironment(cleared);
    EXPECT_NE(summaryOf(cleared).find("\nNo server password set (open server).\n"), std::string::npos);

    ASSERT_EQ(setenv("MURVA_SIGNAL_PASSWORD", "from-env", 1), 0);
    ServerSettings open;
    applyPasswordFromEnvironment(open);
    EXPECT_EQ(open.password, "from-env");
    EXPECT_NE(summaryOf(open).find("\nServer password required to join.\n"), std::string::npos);

    ASSERT_EQ(unsetenv("MURVA_SIGNAL_PASSWORD"), 0);
    auto unchanged = fromFile;
    applyPasswordFromEnvironment(unchanged);
    EXPECT_EQ(unchanged.password, "from-file");
}
