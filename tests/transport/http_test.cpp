// Plain HTTP on the WebSocket port and on an HTTP-only listener: the application's answers (HEAD without the
// body, keep-alive, unsafe header text left out) and the transport's own (426, 404, 413, 431, 500); request
// heads up to 16 KiB are served.
#include <gtest/gtest.h>

#include "support/raw_socket.hpp"
#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

namespace {

// Everything the server sends until it closes the connection.
std::string exchange(uint16_t port, const std::string& request) {
    RawSocket socket(port);
    EXPECT_TRUE(socket.sendAll(request));
    std::string response = socket.readUntil(std::string(1, '\0'), 3s); // no NUL comes: reads until the close
    EXPECT_TRUE(socket.waitPeerClosed(100ms)) << "the server kept the connection open";
    return response;
}

std::string bodyOf(const std::string& response) { return response.substr(response.find("\r\n\r\n") + 4); }

std::string get(const std::string& target, const std::string& extra = "Connection: close\r\n") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

// A page, a health check and a failing path; the last request seen.
rtc::HttpRequestHandler site(rtc::HttpRequest& last, std::mutex& mutex) {
    return [&](const rtc::HttpRequest& request) -> std::optional<rtc::HttpResponse> {
        std::lock_guard lock(mutex);
        last = request;
        const std::string path = request.target.substr(0, request.target.find('?'));
        if (path == "/fails")
            throw std::runtime_error("handler failure");
        if (path == "/healthz")
            return rtc::HttpResponse{200, "text/plain", "ok", {}};
        if (path != "/page")
            return std::nullopt;
        return rtc::HttpResponse{200,
                                 "text/html",
                                 "<p>hi</p>",
                                 {{"Cache-Control", "no-store"},
                                  {"X-Split", "a\r\nSet-Cookie: x=1"},
                                  {"A B", "x"},
                                  {"Content-Length", "999"}}};
    };
}

} // namespace

TEST(Http, RequestsGetTheApplicationsAnswerOrTheTransportsOwn) {
    std::mutex mutex;
    rtc::HttpRequest last;
    rtc::WebSocketServer server(loopbackConfig());
    server.onClient([](std::shared_ptr<rtc::WebSocket>) {});
    server.onHttpRequest(site(last, mutex));
    rtc::WebSocketServer bare(loopbackConfig()); // no handler at all
    bare.onClient([](std::shared_ptr<rtc::WebSocket>) {});

    const std::string pad15k = "X-Pad: " + std::string(15 * 1024, 'p') + "\r\n";
    const std::string pad17k = "X-Pad: " + std::string(17 * 1024, 'p') + "\r\n";
    const std::string upgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    const std::vector<std::tuple<const char*, uint16_t, std::string, std::string, std::string>> cases = {
        // name, port, request, start of the response, body ("-": not checked)
        {"page", server.port(), get("/page"), "HTTP/1.1 200", "<p>hi</p>"},
        {"HEAD", server.port(), "HEAD /page HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 200", ""},
        {"HTTP/1.0", server.port(), "GET /healthz HTTP/1.0\r\n\r\n", "HTTP/1.0 200", "ok"},
        {"declined", server.port(), get("/other"), "HTTP/1.1 426", "This is a WebSocket endpoint.\n"},
        {"no handler", bare.port(), get("/page"), "HTTP/1.1 426", "This is a WebSocket endpoint.\n"},
        {"handler throws", server.port(), get("/fails"), "HTTP/1.1 500", "-"},
        {"body", server.port(), "POST /page HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 413", "-"},
        {"chunked", server.port(), "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx", "HTTP/1.1 413", "-"},
        {"15 KiB head", server.port(), get("/page", pad15k + "Connection: close\r\n"), "HTTP/1.1 200", "<p>hi</p>"},
        {"17 KiB head", server.port(), get("/page", pad17k), "HTTP/1.1 431", "-"},
        {"17 KiB upgrade", server.port(), get("/", pad17k + upgrade), "HTTP/1.1 431", "-"},
    };
    for (const auto& [name, port, request, status, body] : cases) {
        SCOPED_TRACE(name);
        const std::string response = exchange(port, request);
        EXPECT_EQ(response.rfind(status, 0), 0u) << response.substr(0, 300);
        if (body != "-") {
            EXPECT_EQ(bodyOf(response), body);
        }
        if (request.find("/page") != std::string::npos && status == "HTTP/1.1 200") {
            EXPECT_NE(response.find("Content-Length: 9\r\n"), std::string::npos); // HEAD too
            EXPECT_NE(response.find("Cache-Control: no-store\r\n"), std::string::npos);
            EXPECT_EQ(response.find("Set-Cookie"), std::string::npos); // no line smuggled in a value
            EXPECT_EQ(response.find("A B"), std::string::npos);
        }
    }

    // The handler saw the request as sent: every line in order, repeated names kept, and the peer.
    RawSocket socket(server.port());
    ASSERT_TRUE(socket.sendAll("HEAD /healthz?x=1 HTTP/1.1\r\nX-Forwarded-For: 203.0.113.1\r\nOrigin: o\r\n"
                               "x-forwarded-for: 10.0.0.1, 10.0.0.2\r\nConnection: close\r\n\r\n"));
    EXPECT_TRUE(socket.waitPeerClosed(3s));
    std::lock_guard lock(mutex);
    EXPECT_EQ(last.method + " " + last.target, "HEAD /healthz?x=1");
    EXPECT_EQ(last.remoteAddress, "127.0.0.1:" + std::to_string(socket.localPort()));
    ASSERT_EQ(last.headers.size(), 4u);
    EXPECT_EQ(last.headers[1].name + last.headers[2].name, "Originx-forwarded-for");
    EXPECT_EQ(last.headerValues("X-FORWARDED-FOR"), (std::vector<std::string>{"203.0.113.1", "10.0.0.1, 10.0.0.2"}));

    const auto counted = server.counters();
    EXPECT_EQ(counted.httpAnswered, 6u);         // page, HEAD, HTTP/1.0, 500, 15 KiB, the last HEAD
    EXPECT_EQ(counted.refused.badHandshake, 3u); // 426 and the two bodies
    EXPECT_EQ(counted.refused.headerTooLarge, 2u);
    EXPECT_EQ(bare.counters().refused.badHandshake, 1u);
}

TEST(Http, KeptAliveConnectionsAnswerInTurnThenMayUpgrade) {
    std::mutex mutex;
    rtc::HttpRequest last;
    auto&& [recorder, server] = RecordingServer();
    server.onHttpRequest(site(last, mutex));

    RawSocket socket(server.port());
    ASSERT_TRUE(socket.sendAll(get("/page", "") + get("/healthz", ""))); // pipelined
    const std::string both = socket.readUntil("\r\n\r\nok", 3s);
    EXPECT_LT(both.find("<p>hi</p>"), both.find("\r\n\r\nok"));
    EXPECT_EQ(both.find("close"), std::string::npos);
    ASSERT_TRUE(socket.upgrade());
    ASSERT_TRUE(socket.sendAll(clientFrame(0x1, "after http")));
    ASSERT_TRUE(recorder.waitMessages(0, 1));

    // Left idle, it is closed by the handshake limit (300 ms), which is no refusal.
    RawSocket idle(server.port());
    ASSERT_TRUE(idle.sendAll(get("/healthz", "")));
    EXPECT_TRUE(idle.waitPeerClosed(2s));
    EXPECT_EQ(server.counters().httpAnswered, 3u);
    EXPECT_EQ(server.counters().refused.handshakeTimeout, 0u);
}

TEST(Http, HttpOnlyListenerAnswersWithoutOnClientAndNeverUpgrades) {
    std::mutex mutex;
    rtc::HttpRequest last;
    auto config = loopbackConfig();
    config.httpOnly = true;
    rtc::WebSocketServer admin(config);
    admin.onHttpRequest(site(last, mutex)); // accepting starts here

    EXPECT_EQ(bodyOf(exchange(admin.port(), get("/healthz"))), "ok");
    EXPECT_EQ(exchange(admin.port(), get("/missing")).rfind("HTTP/1.1 404", 0), 0u);
    ClientOptions options;
    options.target = "/healthz";
    options.timeout = 2s;
    EXPECT_THROW(WsClient::connect(admin.port(), options), std::runtime_error); // the handler's 200, no 101
    EXPECT_EQ(admin.counters().upgraded, 0u);
    EXPECT_EQ(admin.counters().httpAnswered, 2u);
}
