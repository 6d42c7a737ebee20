// The built-in defaults and the default file text written on first start.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "config_test_util.hpp"

using namespace config_test;
using namespace murva;

TEST(DefaultConfig, TextIsTheOneTheReadmeDocuments) {
    std::ifstream readme(std::string(MURVA_SOURCE_DIR) + "/README.md");
    ASSERT_TRUE(readme);
    const std::string text((std::istreambuf_iterator<char>(readme)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("```jsonc\n" + std::string(defaultConfigText) + "```\n"), std::string::npos)
        << "README.md must show the default murva-signal.json exactly as it is written";
}

TEST(DefaultConfig, TextSetsEveryFieldToItsDefault) {
    // Start from a record where every field differs, so each default must come from the text itself.
    ServerSettings scrambled;
    scrambled.port = 1;
    scrambled.bindAddress = "::1";
    scrambled.password = "x";
    scrambled.logLevel = "verbose";
    scrambled.connectionTimeoutMs = scrambled.maxMessageSize = scrambled.maxConnections = 1;
    scrambled.maxConnectionsPerIp = scrambled.maxRooms = 1;
    scrambled.allowTurn = false;
    scrambled.tls = {.enabled = true, .certFile = "c", .keyFile = "k", .keyPassword = "p"};

    testing_support::TempDir dir;
    dir.write("murva-signal.json", std::string(defaultConfigText));
    std::string error;
    ASSERT_TRUE(loadConfig(dir.file("murva-signal.json"), scrambled, error)) << error;
    EXPECT_EQ(fieldsOf(scrambled), fieldsOf(ServerSettings{}));
}
