// The command line: a port (with an optional password), or a configuration path; and the password that the
// environment or a credential file puts in place of either.
#include <gtest/gtest.h>

#include <filesystem>

#include "app_test_util.hpp"

using namespace app_test;

namespace {

const std::string passwordLine = "Server password required to join.";
const std::string openLine = "No server password set (open server).";
const std::string unauthorized = R"({"type":"unauthorized"})";
const std::string joined = R"({"peer":"","type":"joined"})";

// The port form on a free port: the port followed by `rest`.
Started startWithPort(const TempDir& dir, std::vector<std::string> rest,
                      const std::map<std::string, std::string>& env = {}, const std::string& portPrefix = "") {
    return startOnFreePort(
        dir.path(),
        [&](uint16_t port) {
            auto args = rest;
            args.insert(args.begin(), portPrefix + std::to_string(port));
            return args;
        },
        6, env);
}

// A configuration file `name` on a free port, holding `members`.
Started startWithFile(const TempDir& dir, const std::string& name, const std::string& members,
                      const std::map<std::string, std::string>& env = {}, std::vector<std::string> extra = {}) {
    return startOnFreePort(
        dir.path(),
        [&](uint16_t port) {
            dir.write(name, configText(port, members));
            auto args = extra;
            args.insert(args.begin(), name);
            return args;
        },
        7, env);
}

} // namespace

TEST(CommandLine, APortNeitherReadsNorWritesAFile) {
    TempDir dir;
    dir.write("murva-signal.json", "[]"); // would fail the start if it were read
    {
        auto [child, port] = startWithPort(dir, {});
        EXPECT_EQ(child->stdoutLines(), defaultSummary("ws://0.0.0.0:" + std::to_string(port))) << child->stderrText();
        EXPECT_EQ(joinReply(port), joined);
        EXPECT_EQ(child->stderrText(), "");
    }
    {
        // Leading zeros are still a port; arguments after the password are ignored.
        auto [child, port] = startWithPort(dir, {"pw", "ignored", "more"}, {}, "000");
        auto expected = defaultSummary("ws://0.0.0.0:" + std::to_string(port));
        expected[2] = passwordLine;
        EXPECT_EQ(child->stdoutLines(), expected) << child->stderrText();
        EXPECT_EQ(joinReply(port, R"(,"password":"pw")"), joined);
    }
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"murva-signal.json"});
    EXPECT_EQ(dir.read("murva-signal.json"), "[]");
}

TEST(CommandLine, PortsOutsideTheRangeAreRefused) {
    TempDir dir;
    for (const std::string arg : {"0", "00000", "65536", "70000", "4294975376", "99999999999999999999"}) {
        auto child = startServer(dir.path(), {arg, "pw"});
        EXPECT_EQ(child->waitExit(), 1) << arg;
        EXPECT_EQ(child->stderrText(), "Invalid port " + arg + ": port out of range (1-65535)\n");
        EXPECT_EQ(child->stdoutText(), "") << arg;
    }
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{});
}

TEST(CommandLine, EnvironmentPasswordReplacesTheGivenOne) {
    TempDir dir;
    {
        auto [child, port] = startWithPort(dir, {"from-args"});
        ASSERT_EQ(child->stdoutLines().size(), 6u) << child->stderrText();
        EXPECT_EQ(child->stdoutLines().at(2), passwordLine);
        EXPECT_EQ(joinReply(port), unauthorized);
        EXPECT_EQ(joinReply(port, R"(,"password":"from-args")"), joined);
    }
    {
        auto [child, port] = startWithPort(dir, {"from-args"}, {{"MURVA_SIGNAL_PASSWORD", "from-env"}});
        ASSERT_EQ(child->stdoutLines().size(), 6u) << child->stderrText();
        EXPECT_EQ(child->stdoutLines().at(2), passwordLine);
        EXPECT_EQ(joinReply(port, R"(,"password":"from-args")"), unauthorized);
        EXPECT_EQ(joinReply(port, R"(,"password":"from-env")"), joined);
    }
    {
        // Present but empty: the server is open whatever the arguments said.
        auto [child, port] = startWithPort(dir, {"from-args"}, {{"MURVA_SIGNAL_PASSWORD", ""}});
        ASSERT_EQ(child->stdoutLines().size(), 6u) << child->stderrText();
        EXPECT_EQ(child->stdoutLines().at(2), openLine);
        EXPECT_EQ(joinReply(port), joined);
    }
    {
        // The same over a file's password.
        auto [child, port] =
            startWithFile(dir, "with-password.json", R"("password": "from-file")", {{"MURVA_SIGNAL_PASSWORD", ""}});
        const auto lines = child->stdoutLines();
        ASSERT_EQ(lines.size(), 7u) << child->stderrText();
        EXPECT_EQ(lines.at(0), "Loaded config from with-password.json");
        EXPECT_EQ(lines.at(3), openLine);
        EXPECT_EQ(joinReply(port), joined);
    }
    {
        auto [child, port] = startWithFile(dir, "open.json", "", {{"MURVA_SIGNAL_PASSWORD", "from-env"}});
        ASSERT_EQ(child->stdoutLines().size(), 7u) << child->stderrText();
        EXPECT_EQ(child->stdoutLines().at(3), passwordLine);
        EXPECT_EQ(joinReply(port), unauthorized);
    }
    {
        // systemd's LoadCredential=password: the file's content without its newline.
        TempDir credentials;
        credentials.write("password", "from-file\n");
        auto [child, port] = startWithPort(dir, {"from-args"}, {{"CREDENTIALS_DIRECTORY", credentials.path()}});
        ASSERT_EQ(child->stdoutLines().size(), 6u) << child->stderrText();
        EXPECT_EQ(joinReply(port, R"(,"password":"from-args")"), unauthorized);
        EXPECT_EQ(joinReply(port, R"(,"password":"from-file")"), joined);

        // One that is there but cannot be read stops the start.
        std::filesystem::remove(credentials.file("password"));
        std::filesystem::create_directory(credentials.file("password"));
        auto refused = startServer(dir.path(), {std::to_string(freeLoopbackPort())},
                                   {{"CREDENTIALS_DIRECTORY", credentials.path()}});
        EXPECT_EQ(refused->waitExit(), 1);
        EXPECT_EQ(refused->stderrText(),
                  "Cannot read credential " + credentials.file("password") + ": Is a directory\n");
        EXPECT_EQ(refused->stdoutText(), "");
    }
}

TEST(CommandLine, ANamedFileMustExist) {
    TempDir dir;
    // Anything but plain digits is a path, the empty argument included.
    for (const std::string arg : {"8080x", "-1", "", "+8080", " 8080", "missing.json", "no/such/dir.json"}) {
        auto child = startServer(dir.path(), {arg, "ignored"});
        EXPECT_EQ(child->waitExit(), 1) << arg;
        EXPECT_EQ(child->stderrText(), "Config file not found: " + arg + "\n");
        EXPECT_EQ(child->stdoutText(), "") << arg;
    }
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{}); // no default written for a named path
}

TEST(CommandLine, ANamedFileThatFailsToLoadStopsTheStart) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("a-directory"));
    dir.write("array.json", "[{\"port\": 9000}]");
    dir.write("port.json", "{\"port\": 65536}");
    dir.write("tls.json", "{\"tls\": {\"enabled\": true, \"cert_file\": \"c.pem\"}}");
    dir.write("field.json", "{\"allow_turn\": \"no\"}");
    const std::pair<std::string, std::string> cases[] = {
        {"array.json", "top level must be a JSON object"},
        {"port.json", "port out of range (1-65535)"},
        {"tls.json", "tls.enabled is true but cert_file/key_file are empty"},
        {"field.json", R"("allow_turn": must be true or false)"},
        {"a-directory", "could not open a-directory"},
        {dir.file("array.json"), "top level must be a JSON object"},
    };
    for (const auto& [path, error] : cases) {
        auto child = startServer(dir.path(), {path});
        EXPECT_EQ(child->waitExit(), 1) << path;
        EXPECT_EQ(child->stderrText(), "Failed to load " + path + ": " + error + "\n");
        EXPECT_EQ(child->stdoutText(), "") << path;
    }
}

TEST(CommandLine, ANamedFileIsLoadedRelativeToTheWorkingDirectory) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("conf"));
    auto [child, port] = startWithFile(dir, "conf/server.json", R"("max_connections": 0, "max_message_size": 0)", {},
                                       {"not-a-password"});
    auto expected = defaultSummary("ws://127.0.0.1:" + std::to_string(port));
    expected[4] = "Limits: max_connections=0, per_ip=32, max_rooms=4096, max_message_size=0B";
    expected.insert(expected.begin(), "Loaded config from conf/server.json");
    EXPECT_EQ(child->stdoutLines(), expected) << child->stderrText();
    EXPECT_EQ(joinReply(port), joined);
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"conf"});
}

TEST(CommandLine, HelpAndVersionPrintAndExitWithoutServing) {
    TempDir dir;
    for (const auto& [flag, start] : std::vector<std::pair<std::string, std::string>>{
             {"--help", "Usage: murva-signal"}, {"--version", "murva-signal " MURVA_VERSION_TEXT}}) {
        auto child = startServer(dir.path(), {flag});
        EXPECT_EQ(child->waitExit(), 0) << flag;
        EXPECT_EQ(child->stdoutText().rfind(start, 0), 0u) << child->stdoutText();
    }
    EXPECT_TRUE(entriesOf(dir.path()).empty()); // no configuration was written
}
