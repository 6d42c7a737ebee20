// The transport's log: the level filters records before they reach the callback, None silences everything,
// and without a callback records go to standard error only (standard output belongs to the application).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include <unistd.h>

#include "support/process.hpp"
#include "transport/detail/address.hpp"
#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

namespace {

// A server starts and stops, its onClient throws, and the client then sends a message over the 100-byte limit
// and is closed with 1009: records at Info, Debug, Error and Warning.
void provokeRecords() {
    std::mutex mutex;
    std::vector<std::shared_ptr<rtc::WebSocket>> kept;
    std::atomic<int> closed{0};
    auto config = loopbackConfig();
    config.maxMessageSize = 100;
    rtc::WebSocketServer server(config);
    server.onClient([&](std::shared_ptr<rtc::WebSocket> socket) {
        socket->onClosed([&closed] { ++closed; });
        std::lock_guard lock(mutex);
        kept.push_back(socket);
        throw std::runtime_error("handler failure");
    });
    auto client = WsClient::connect(server.port());
    client->sendText(std::string(101, 'x'));
    EXPECT_EQ(client->waitClosed(), 1009);
    EXPECT_TRUE(waitUntil([&] { return closed == 1; }));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(Logger, WarningPassesWarningsAndWorseButNotInfoOrDebug) {
    LogCapture logs(rtc::LogLevel::Warning);
    provokeRecords();
    EXPECT_TRUE(logs.waitFor(rtc::LogLevel::Warning, "127.0.0.1:"));
    EXPECT_TRUE(logs.has(rtc::LogLevel::Error, "handler failure"));
    for (const auto& [level, text] : logs.records())
        EXPECT_LE(static_cast<int>(level), static_cast<int>(rtc::LogLevel::Warning)) << text;
}

TEST(Logger, DebugPassesTheOrdinaryRecordsToo) {
    LogCapture logs(rtc::LogLevel::Debug);
    provokeRecords();
    EXPECT_TRUE(logs.waitFor(rtc::LogLevel::Warning, "127.0.0.1:"));
    EXPECT_TRUE(logs.has(rtc::LogLevel::Info, "Listening on 127.0.0.1:"));
    EXPECT_TRUE(logs.has(rtc::LogLevel::Debug, "127.0.0.1:"));
}

TEST(Logger, NonePassesNothing) {
    std::atomic<int> calls{0};
    rtc::InitLogger(rtc::LogLevel::None, [&calls](rtc::LogLevel, std::string) { ++calls; });
    provokeRecords();
    rtc::InitLogger(rtc::LogLevel::None);
    EXPECT_EQ(calls.load(), 0);
}

TEST(Logger, WithoutCallbackRecordsGoToStandardErrorOnly) {
    TempDir dir;
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = dup(STDOUT_FILENO);
    const int savedErr = dup(STDERR_FILENO);
    FILE* out = std::fopen(dir.file("out").c_str(), "w");
    FILE* err = std::fopen(dir.file("err").c_str(), "w");
    ASSERT_TRUE(out && err && savedOut >= 0 && savedErr >= 0);
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(err), STDERR_FILENO);

    uint16_t port = 0;
    rtc::InitLogger(rtc::LogLevel::Info);
    {
        rtc::WebSocketServer server(loopbackConfig());
        port = server.port();
    }
    rtc::InitLogger(rtc::LogLevel::None);

    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, STDOUT_FILENO);
    dup2(savedErr, STDERR_FILENO);
    close(savedOut);
    close(savedErr);
    std::fclose(out);
    std::fclose(err);

    EXPECT_EQ(readFile(dir.file("out")), "");
    const std::string errText = readFile(dir.file("err"));
    const std::regex listening(
        "(^|\n)\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} INFO Listening on 127\\.0\\.0\\.1:" +
        std::to_string(port) + "\n");
    EXPECT_TRUE(std::regex_search(errText, listening)) << errText;
    EXPECT_NE(errText.find(" INFO WebSocket server stopped\n"), std::string::npos) << errText;
}

TEST(AddressFormat, Ipv4MappedIpv6AndScopedAddresses) {
    namespace ip = boost::asio::ip;
    using rtc::detail::formatEndpoint;
    EXPECT_EQ(formatEndpoint({ip::make_address("192.0.2.7"), 50412}), "192.0.2.7:50412");
    EXPECT_EQ(formatEndpoint({ip::make_address("::ffff:127.0.0.1"), 8080}), "127.0.0.1:8080");
    EXPECT_EQ(formatEndpoint({ip::make_address("::1"), 443}), "[::1]:443");
    EXPECT_EQ(formatEndpoint({ip::make_address("2001:db8::5"), 1}), "[2001:db8::5]:1");
    ip::address_v6 scoped = ip::make_address_v6("fe80::1");
    scoped.scope_id(1);
    const std::string text = formatEndpoint({scoped, 9});
    EXPECT_EQ(text.rfind("[fe80::1%", 0), 0u) << text;
    EXPECT_EQ(text.substr(text.size() - 3), "]:9") << text;
}
