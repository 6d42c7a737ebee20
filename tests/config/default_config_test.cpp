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
    ServerSettings scrambled{.port = 1,
                             .bindAddress = "::1",
                             .password = "x",
                             .logLevel = "verbose",
                             .connectionTimeoutMs = 1,
                             .maxMessageSize = 1,
                             .maxConnections = 1,
                             .maxConnectionsPerIp = 1,
                             .maxRooms = 1,
                             .allowTurn = false,
                             .tls = {.enabled = true, .certFile = "c", .keyFile = "k", .keyPassword = "p"},
                             .turn = std::nullopt}; // not in the default text: only a key present sets it

    testing_support::TempDir dir;
    dir.write("murva-signal.json", std::string(defaultConfigText));
    std::string error;
    ASSERT_TRUE(loadConfig(dir.file("murva-signal.json"), scrambled, error)) << error;
    EXPECT_EQ(fieldsOf(scrambled), fieldsOf(ServerSettings{}));
}
