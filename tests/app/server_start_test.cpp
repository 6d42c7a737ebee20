// The server the process starts: the summary as it is printed, where it listens, TLS, and start failures.
#include <gtest/gtest.h>

#include "app_test_util.hpp"

using namespace app_test;

namespace {

const std::string joined = R"({"peer":"","type":"joined"})";

std::string endpoint(const std::string& scheme, const std::string& address, uint16_t port) {
    return scheme + "://" + address + ":" + std::to_string(port);
}

bool connects(uint16_t port, const ClientOptions& options) {
    try {
        WsClient::connect(port, options);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

// Starts from a configuration file `name` on a free port, holding `members`.
Started startFromFile(const TempDir& dir, const std::string& name, const std::string& members) {
    auto started = startOnFreePort(
        dir.path(),
        [&](uint16_t port) {
            dir.write(name, configText(port, members));
            return std::vector<std::string>{name};
        },
        7);
    EXPECT_EQ(started.child->stdoutLines().size(), 7u) << started.child->stderrText();
    return started;
}

// The first summary line of a start from a file, "" when it is missing.
std::string listeningLine(ChildProcess& child) {
    const auto lines = child.stdoutLines();
    return lines.size() > 1 ? lines[1] : "";
}

// Expects a start from `name` to fail at the server's construction on `port`.
void expectStartFailure(ChildProcess& child, const std::string& name, uint16_t port) {
    EXPECT_EQ(child.waitExit(), 1);
    const auto error = child.stderrText();
    const std::string prefix = "Failed to start server on port " + std::to_string(port) + ": ";
    EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
    EXPECT_GT(error.size(), prefix.size() + 1) << "the transport's reason is missing";
    EXPECT_EQ(error.find('\n'), error.size() - 1) << error;                                 // one line
    EXPECT_EQ(child.stdoutText(), name.empty() ? "" : "Loaded config from " + name + "\n"); // no summary
}

} // namespace

TEST(ServerStart, SummaryLinesArriveWhileTheServerRuns) {
    TempDir dir;
    // Standard output is a pipe here: the lines must not sit in a buffer until the process ends.
    auto [child, port] = startOnFreePort(
        dir.path(), [](uint16_t port) { return std::vector{std::to_string(port)}; }, 6);
    EXPECT_FALSE(child->waitExit(0ms));
    EXPECT_EQ(child->stdoutLines(), defaultSummary(endpoint("ws", "0.0.0.0", port))) << child->stderrText();
    EXPECT_EQ(joinReply(port), joined);
    // The join line comes through at once too.
    EXPECT_TRUE(child->waitForStdoutLines(6));
    EXPECT_EQ(child->stderrText(), "");
}

TEST(ServerStart, BindAddressDecidesWhereItListens) {
    TempDir dir;
    ClientOptions other;
    other.host = "127.0.0.2";
    {
        auto [child, port] = startFromFile(dir, "local.json", "");
        EXPECT_EQ(listeningLine(*child), "murva-signal listening on " + endpoint("ws", "127.0.0.1", port));
        EXPECT_EQ(joinReply(port), joined);
        EXPECT_FALSE(connects(port, other)); // bound to that one address only
    }
    {
        // Empty means every interface, and the summary shows nothing for the address.
        auto [child, port] = startFromFile(dir, "any.json", R"("bind_address": "")");
        EXPECT_EQ(listeningLine(*child), "murva-signal listening on " + endpoint("ws", "", port));
        EXPECT_EQ(joinReply(port), joined);
        EXPECT_EQ(joinReply(port, "", other), joined);
    }
    {
        const uint16_t port = freeLoopbackPort();
        dir.write("bad.json", configText(port, R"("bind_address": "not an address")"));
        auto child = startServer(dir.path(), {"bad.json"});
        expectStartFailure(*child, "bad.json", port);
    }
}

TEST(ServerStart, LogLevelWarningComesBeforeTheSummary) {
    TempDir dir;
    // Standard error is unbuffered and written before the summary, so it is complete once the summary is in.
    {
        auto [child, port] = startFromFile(dir, "info.json", R"("log_level": "Info")");
        EXPECT_EQ(child->stderrText(), "Unknown log_level \"Info\", using warning.\n");
    }
    {
        auto [child, port] = startFromFile(dir, "empty.json", R"("log_level": "")");
        EXPECT_EQ(child->stderrText(), "Unknown log_level \"\", using warning.\n");
    }
    {
        auto [child, port] = startFromFile(dir, "fatal.json", R"("log_level": "fatal")");
        EXPECT_EQ(child->stderrText(), "");
    }
}

TEST(ServerStart, APortInUseFailsTheStartWithoutASummary) {
    TempDir dir;
    auto [first, port] = startOnFreePort(
        dir.path(), [](uint16_t port) { return std::vector{std::to_string(port)}; }, 6);
    ASSERT_FALSE(first->waitExit(0ms)) << first->stderrText();

    auto second = startServer(dir.path(), {std::to_string(port)});
    expectStartFailure(*second, "", port);

    dir.write("same-port.json", configText(port, R"("bind_address": "127.0.0.1")"));
    auto third = startServer(dir.path(), {"same-port.json"});
    expectStartFailure(*third, "same-port.json", port);

    EXPECT_FALSE(first->waitExit(0ms));
    EXPECT_EQ(joinReply(port), joined); // the first one is unharmed
}

TEST(ServerStart, TlsServesWssWithTheFixtureCertificate) {
    TempDir dir;
    const std::string data = MURVA_TEST_DATA;
    ClientOptions tls;
    tls.tls = true;
    {
        auto [child, port] = startFromFile(dir, "tls.json",
                                           R"("tls": {"enabled": true, "cert_file": ")" + data +
                                               R"(/cert.pem", "key_file": ")" + data + R"(/key.pem"})");
        EXPECT_EQ(listeningLine(*child), "murva-signal listening on " + endpoint("wss", "127.0.0.1", port));
        EXPECT_EQ(joinReply(port, "", tls), joined);
        EXPECT_FALSE(connects(port, {})); // plain ws is not served
    }
    {
        auto [child, port] =
            startFromFile(dir, "encrypted.json",
                          R"("tls": {"enabled": true, "cert_file": ")" + data + R"(/cert.pem", "key_file": ")" + data +
                              R"(/key-encrypted.pem", "key_password": "murva-test"})");
        EXPECT_EQ(listeningLine(*child), "murva-signal listening on " + endpoint("wss", "127.0.0.1", port));
        EXPECT_EQ(joinReply(port, "", tls), joined);
    }
}

TEST(ServerStart, UnusableTlsFilesFailTheStart) {
    TempDir dir;
    const std::string data = MURVA_TEST_DATA;
    const std::string cases[] = {
        R"("cert_file": ")" + dir.file("missing-cert.pem") + R"(", "key_file": ")" + data + R"(/key.pem")",
        R"("cert_file": ")" + data + R"(/cert.pem", "key_file": ")" + dir.file("missing-key.pem") + R"(")",
        R"("cert_file": ")" + data + R"(/cert.pem", "key_file": ")" + data +
            R"(/key-encrypted.pem", "key_password": "wrong")",
        // No pass phrase for an encrypted key: refused, never asked for on a terminal.
        R"("cert_file": ")" + data + R"(/cert.pem", "key_file": ")" + data + R"(/key-encrypted.pem")",
        R"("cert_file": ")" + data + R"(/key.pem", "key_file": ")" + data + R"(/cert.pem")",
    };
    for (const auto& members : cases) {
        const uint16_t port = freeLoopbackPort();
        dir.write("tls.json", configText(port, R"("tls": {"enabled": true, )" + members + "}"));
        auto child = startServer(dir.path(), {"tls.json"});
        SCOPED_TRACE(members);
        expectStartFailure(*child, "tls.json", port);
    }
}
