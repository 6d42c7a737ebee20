// The built-in defaults and the default file text written on first start.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include <openssl/evp.h>

#include "config_test_util.hpp"

using namespace config_test;

namespace {

std::string sha256Hex(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        return "digest failed";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        char byte[3];
        std::snprintf(byte, sizeof byte, "%02x", digest[i]);
        hex += byte;
    }
    return hex;
}

} // namespace

TEST(DefaultConfig, BuiltInDefaults) {
    EXPECT_EQ(fieldsOf(ServerSettings{}), std::make_tuple(uint16_t{8080}, std::string("0.0.0.0"), std::string(""),
                                                          std::string("warning"), 0u, 65536u, 1024u, 32u, 4096u, true,
                                                          false, std::string(""), std::string(""), std::string("")));
    // The values the handlers read hold the same defaults before anything is published.
    EXPECT_EQ(serverPassword, "");
    EXPECT_EQ(maxConnections, 1024u);
    EXPECT_EQ(maxConnectionsPerIp, 32u);
    EXPECT_EQ(maxRooms, 4096u);
    EXPECT_TRUE(allowTurn);
}

TEST(DefaultConfig, TextIsExactlyTheShippedFile) {
    const std::string_view text = defaultConfigText;
    EXPECT_EQ(text.size(), 1575u);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 36);
    EXPECT_EQ(text.find('\r'), std::string_view::npos);
    EXPECT_EQ(text.find('\t'), std::string_view::npos);
    EXPECT_EQ(text.substr(0, 2), "{\n");
    EXPECT_EQ(text.substr(text.size() - 2), "}\n");
    EXPECT_EQ(sha256Hex(text), "36998bf29f784d001d6f5bbb04facce38a0be06b25facf0dddff5edbbd11f362");
}

TEST(DefaultConfig, TextSetsEveryFieldToItsDefault) {
    // Start from a record where every field differs, so each default must come from the text itself.
    ServerSettings scrambled{.port = 1,
                             .bind_address = "::1",
                             .password = "x",
                             .log_level = "verbose",
                             .connection_timeout_ms = 1,
                             .max_message_size = 1,
                             .max_connections = 1,
                             .max_connections_per_ip = 1,
                             .max_rooms = 1,
                             .allow_turn = false,
                             .tls_enabled = true,
                             .tls_cert_file = "c",
                             .tls_key_file = "k",
                             .tls_key_password = "p"};

    testing_support::TempDir dir;
    dir.write("murva-signal.json", std::string(defaultConfigText));
    std::string error;
    ASSERT_TRUE(loadConfig(dir.file("murva-signal.json"), scrambled, error)) << error;
    EXPECT_EQ(fieldsOf(scrambled), fieldsOf(ServerSettings{}));
}
