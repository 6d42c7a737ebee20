// `murva-signal --healthcheck PATH` against a server started on the same file: it finds the server however the
// file has it listen (plain, TLS, behind the PROXY protocol, with an admin listener), and says unhealthy once the
// server is gone.
#include <gtest/gtest.h>

#include "app_test_util.hpp"

using namespace app_test;

namespace {

int healthcheck(const TempDir& dir, const std::string& argument) {
    auto check = startServer(dir.path(), {"--healthcheck", argument});
    return check->waitExit().value_or(-1);
}

} // namespace

TEST(Healthcheck, ReachesTheServerTheFileDescribes) {
    const std::string data = MURVA_TEST_DATA;
    const uint16_t admin = freeLoopbackPort();
    const std::vector<std::pair<std::string, std::string>> variants = {
        {"plain", ""},
        {"tls",
         R"("tls": {"enabled": true, "cert_file": ")" + data + R"(/cert.pem", "key_file": ")" + data + R"(/key.pem"})"},
        {"proxy", R"("proxy_protocol": true, "trusted_proxies": ["127.0.0.1"])"},
        {"admin", R"("proxy_protocol": true, "admin": {"port": )" + std::to_string(admin) + "}"},
    };
    for (const auto& [name, members] : variants) {
        TempDir dir;
        auto [child, port] = startOnFreePort(
            dir.path(),
            [&](uint16_t port) {
                dir.write("s.json", configText(port, members));
                return std::vector<std::string>{"s.json"};
            },
            6);
        ASSERT_FALSE(child->waitExit(0ms)) << name << ": " << child->stderrText();
        EXPECT_EQ(healthcheck(dir, "s.json"), 0) << name;
        if (name == "plain") {
            EXPECT_EQ(healthcheck(dir, std::to_string(port)), 0);
        }

        child->kill();
        auto gone = startServer(dir.path(), {"--healthcheck", "s.json"});
        EXPECT_EQ(gone->waitExit(), 1) << name;
        EXPECT_NE(gone->stderrText().find("cannot connect"), std::string::npos) << gone->stderrText();
    }
}

TEST(Healthcheck, AFileThatDoesNotLoadIsUnhealthy) {
    TempDir dir;
    dir.write("bad.json", "{\"port\": 0}");
    EXPECT_EQ(healthcheck(dir, "bad.json"), 1);
    EXPECT_EQ(healthcheck(dir, "missing.json"), 1);
    EXPECT_EQ(healthcheck(dir, "70000"), 1);
}
