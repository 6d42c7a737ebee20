// The upgrade request in the application's hands: readable in onClient (every line, in order) and nowhere
// else, and a pre-upgrade veto whose refusal reaches the client instead of the upgrade.
#include <gtest/gtest.h>

#include <future>

#include "support/raw_socket.hpp"
#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

TEST(UpgradeRequest, OnClientReadsTheRequestThatNothingKeepsAfterwards) {
    std::vector<rtc::HttpRequest> seen; // a copy per connection, taken in onClient
    std::vector<bool> elsewhereNull;    // asked from another thread, and for the other connection
    Recorder recorder;
    rtc::WebSocketServer server(loopbackConfig());
    server.onClient([&](std::shared_ptr<rtc::WebSocket> socket) {
        const rtc::HttpRequest* request = socket->upgradeRequest();
        ASSERT_NE(request, nullptr);
        seen.push_back(*request);
        elsewhereNull.push_back(std::async(std::launch::async, [&] { return socket->upgradeRequest(); }).get() ==
                                nullptr);
        if (recorder.clientCount() > 0)
            elsewhereNull.push_back(recorder.socket(0)->upgradeRequest() == nullptr);
        recorder.add(std::move(socket));
    });

    ClientOptions options;
    options.target = "/room?key=1";
    options.headers = {{"X-Forwarded-For", "203.0.113.7"},
                       {"Origin", "https://app.example"},
                       {"X-Forwarded-For", "10.0.0.1, 10.0.0.2"},
                       {"X-Pad", std::string(15 * 1024, 'p')}}; // a 15 KiB head is served
    auto first = WsClient::connect(server.port(), options);
    ASSERT_TRUE(recorder.waitClients(1));
    auto second = WsClient::connect(server.port());
    ASSERT_TRUE(recorder.waitClients(2));

    EXPECT_EQ(seen[0].target, "/room?key=1");
    EXPECT_EQ(seen[0].headerValues("x-forwarded-for"), (std::vector<std::string>{"203.0.113.7", "10.0.0.1, 10.0.0.2"}));
    EXPECT_EQ(seen[0].header("Origin"), "https://app.example");
    EXPECT_EQ(seen[0].remoteAddress, "127.0.0.1:" + std::to_string(first->localPort()));
    EXPECT_EQ(seen[1].header("Origin"), std::nullopt);
    EXPECT_EQ(elsewhereNull, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(recorder.socket(0)->upgradeRequest(), nullptr); // gone once onClient has returned
    first->sendText("after the request");
    ASSERT_TRUE(recorder.waitMessages(0, 1));
}

TEST(UpgradeRequest, VetoRefusesBeforeTheUpgradeAndOnClientNeverRuns) {
    auto&& [recorder, server] = RecordingServer();
    server.onUpgradeRequest([&](const rtc::HttpRequest& request) -> std::optional<rtc::HttpResponse> {
        const auto origin = request.header("Origin");
        if (origin == "https://fails.example")
            throw std::runtime_error("veto failure");
        if (origin == "https://ok.example")
            return std::nullopt;
        return rtc::HttpResponse{403, "text/plain", "Origin not allowed.\n", {}};
    });

    const std::string upgrade = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Origin: https://evil.example\r\n", "HTTP/1.1 403"},
        {"", "HTTP/1.1 403"},
        {"Origin: https://fails.example\r\n", "HTTP/1.1 500"}, // a failing check lets nobody through
        {"Origin: https://ok.example\r\n", "HTTP/1.1 101"},
    };
    for (const auto& [origin, status] : cases) {
        SCOPED_TRACE(origin);
        RawSocket socket(server.port());
        ASSERT_TRUE(socket.sendAll(upgrade + origin + "\r\n"));
        EXPECT_EQ(socket.readUntil("\r\n\r\n", 3s).rfind(status, 0), 0u);
        EXPECT_EQ(socket.waitPeerClosed(300ms), status != "HTTP/1.1 101");
    }
    EXPECT_TRUE(recorder.waitClients(1));
    EXPECT_EQ(recorder.clientCount(), 1u);
    EXPECT_EQ(server.counters().refused.vetoed, 3u);
}
