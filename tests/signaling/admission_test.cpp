// Admission against the connection limits, over real connections from several loopback addresses.
#include <gtest/gtest.h>

#include "signaling/client_address.hpp"
#include "support/signal_server.hpp"
#include "support/ws_client.hpp"

using namespace murva;

using namespace testing_support;

namespace {

const std::string capacity = R"({"reason":"Server is at capacity.","type":"error"})";

std::unique_ptr<WsClient> from(const SignalServer& server, const std::string& source) {
    ClientOptions options;
    options.sourceAddress = source;
    return WsClient::connect(server.port(), options);
}

} // namespace

TEST(ClientAddress, IpTextIsTheAddressWithoutItsPort) {
    EXPECT_EQ(clientIpFromAddress(""), "");
    EXPECT_EQ(clientIpFromAddress("[2001:db8::7]:443"), "2001:db8::7");
    EXPECT_EQ(clientIpFromAddress("192.0.2.10:443"), "192.0.2.10");
    EXPECT_EQ(clientIpFromAddress("[2001:db8::7"), "[2001:db8::7");
    EXPECT_EQ(clientIpFromAddress("myhost"), "myhost");
    EXPECT_EQ(clientIpFromAddress("::1"), ":");
    EXPECT_EQ(clientIpFromAddress("[]:443"), "");
    EXPECT_EQ(clientIpFromAddress("[fe80::1%eth0]:9"), "fe80::1%eth0");
}

TEST(ClientAddress, LimitsKeyIpv6ClientsByTheirNetwork) {
    const struct {
        const char* ip;
        unsigned prefix;
        const char* key;
    } cases[] = {
        {"192.0.2.10", 64, "192.0.2.10"},
        {"::ffff:192.0.2.10", 64, "192.0.2.10"}, // mapped IPv4 stays IPv4
        {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", 64, "2001:db8:1:2::/64"},
        {"2001:db8:1:2::1", 64, "2001:db8:1:2::/64"},
        {"2001:db8:1:2:3:4:5:6", 48, "2001:db8:1::/48"},
        {"2001:db8:1:2:3:4:5:6", 128, "2001:db8:1:2:3:4:5:6/128"},
        {"not-an-address", 64, "not-an-address"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(limitKey(c.ip, c.prefix), c.key) << c.ip << " /" << c.prefix;
}

TEST(Admission, AnIpv6ClientRotatingAddressesWithinItsNetworkIsOneClient) {
    // The addresses come through a trusted proxy: loopback has no /64 to rotate in.
    for (const unsigned prefix : {64u, 128u}) {
        SCOPED_TRACE(prefix);
        ServerSettings settings;
        settings.maxConnectionsPerIp = 2;
        settings.maxJoinsPerIpPerMinute = 2;
        settings.trustedProxies = {"127.0.0.1"};
        settings.ipv6PrefixLength = prefix;
        SignalServer server(settings);
        const auto as = [&](const std::string& ip) {
            ClientOptions options;
            options.headers = {{"X-Forwarded-For", ip}};
            return WsClient::connect(server.port(), options);
        };
        std::vector<std::unique_ptr<WsClient>> held;
        for (const char* ip : {"2001:db8:1:2::a", "2001:db8:1:2::b"}) {
            held.push_back(as(ip));
            held.back()->sendText(R"({"type":"join","room":")" + std::string(ip) + R"("})");
            EXPECT_EQ(held.back()->receive(), R"({"peer":"","type":"joined"})");
        }
        // A third address of the same /64: over the connection limit by its network, but not by itself.
        auto third = as("2001:db8:1:2:ffff::c");
        if (prefix == 64) {
            EXPECT_EQ(third->receive(), capacity);
        } else {
            third->sendText(R"({"type":"join","room":"c"})");
            EXPECT_EQ(third->receive(), R"({"peer":"","type":"joined"})");
        }
        // Joins are counted by the network as well: one more join from it is one too many.
        held.pop_back();
        ASSERT_TRUE(waitUntil([&] { return server.sizes().clients == (prefix == 64 ? 1u : 2u); }));
        auto rejoin = as("2001:db8:1:2::d");
        rejoin->sendText(R"({"type":"join","room":"d"})");
        EXPECT_EQ(rejoin->receive(), prefix == 64 ? R"({"reason":"Too many attempts, try later.","type":"error"})"
                                                  : R"({"peer":"","type":"joined"})");
        // Another network is another client.
        auto other = as("2001:db8:1:3::a");
        other->sendText(R"({"type":"join","room":"e"})");
        EXPECT_EQ(other->receive(), R"({"peer":"","type":"joined"})");
    }
}

TEST(Admission, GlobalLimitRefusesWithCapacityErrorAndCloseUntilCloseHandlingFrees) {
    ServerSettings settings;
    settings.maxConnections = 2;
    settings.maxConnectionsPerIp = 0;
    SignalServer server(settings);
    auto a = WsClient::connect(server.port());
    auto b = WsClient::connect(server.port());
    ASSERT_TRUE(server.waitForSizes({2, 0, 1}));
    auto refused = WsClient::connect(server.port());
    EXPECT_EQ(refused->receive(), capacity);
    EXPECT_EQ(refused->waitClosed(), 1000);
    EXPECT_EQ(server.sizes(), (StateSizes{2, 0, 1}));
    EXPECT_EQ(server.ipCount("127.0.0.1"), 2);

    a->close();
    ASSERT_TRUE(server.waitForSizes({1, 0, 1}));
    auto c = WsClient::connect(server.port());
    c->sendText(R"({"type":"join","room":"r"})");
    EXPECT_EQ(c->receive(), R"({"peer":"","type":"joined"})");
}

TEST(Admission, PerIpLimitCountsEachSourceAddressSeparately) {
    ServerSettings settings;
    settings.maxConnectionsPerIp = 2;
    SignalServer server(settings);
    auto a1 = from(server, "127.0.0.2");
    auto a2 = from(server, "127.0.0.2");
    auto b1 = from(server, "127.0.0.3");
    ASSERT_TRUE(server.waitForSizes({3, 0, 2}));
    auto a3 = from(server, "127.0.0.2");
    EXPECT_EQ(a3->receive(), capacity);
    EXPECT_EQ(a3->waitClosed(), 1000);
    EXPECT_EQ(server.ipCount("127.0.0.2"), 2);
    EXPECT_EQ(server.ipCount("127.0.0.3"), 1);
    auto b2 = from(server, "127.0.0.3");
    b2->sendText(R"({"type":"join","room":"r"})");
    EXPECT_EQ(b2->receive(), R"({"peer":"","type":"joined"})");

    a1->abort(); // an abrupt end frees the count as well
    ASSERT_TRUE(waitUntil([&] { return server.ipCount("127.0.0.2") == 1; }));
    auto a4 = from(server, "127.0.0.2");
    a4->sendText(R"({"type":"join","room":"r2"})");
    EXPECT_EQ(a4->receive(), R"({"peer":"","type":"joined"})");
    b1->close();
    b2->close();
    ASSERT_TRUE(waitUntil([&] { return !server.hasIpEntry("127.0.0.3"); }));
}

TEST(Admission, ZeroLimitsAdmitEverythingAndStillCountPerIp) {
    ServerSettings settings;
    settings.maxConnections = 0;
    settings.maxConnectionsPerIp = 0;
    SignalServer server(settings);
    std::vector<std::unique_ptr<WsClient>> clients;
    for (int i = 0; i < 40; ++i)
        clients.push_back(from(server, "127.0.0.5"));
    ASSERT_TRUE(server.waitForSizes({40, 0, 1}));
    EXPECT_EQ(server.ipCount("127.0.0.5"), 40);
    clients.clear();
    EXPECT_TRUE(server.waitForSizes({0, 0, 0}));
}

TEST(Admission, DefaultPerIpLimitIs32) {
    SignalServer server;
    std::vector<std::unique_ptr<WsClient>> clients;
    for (int i = 0; i < 32; ++i)
        clients.push_back(from(server, "127.0.0.6"));
    ASSERT_TRUE(server.waitForSizes({32, 0, 1}));
    auto over = from(server, "127.0.0.6");
    EXPECT_EQ(over->receive(), capacity);
    EXPECT_EQ(over->waitClosed(), 1000);
}

TEST(Admission, OriginsOffTheAllowListAreRefusedBeforeTheUpgradeAndJoinsAreRateLimited) {
    ServerSettings settings;
    settings.allowedOrigins = {"https://files.example"};
    settings.maxJoinsPerIpPerMinute = 2;
    SignalServer server(settings);
    const auto connect = [&](const char* origin) {
        ClientOptions options;
        if (origin)
            options.headers = {{"Origin", origin}};
        return WsClient::connect(server.port(), options);
    };
    EXPECT_THROW(connect("https://evil.example"), std::runtime_error);
    EXPECT_THROW(connect("https://files.example.evil"), std::runtime_error);
    auto browser = connect("https://files.example");
    auto native = connect(nullptr); // no Origin: not a browser, let in
    EXPECT_TRUE(server.waitForSizes({2, 0, 1}));

    // Two joins a minute from this address, then the third is refused and closed.
    browser->sendText(R"({"type":"join","room":"a","nick":"n"})");
    EXPECT_EQ(browser->receive(), R"({"peer":"","type":"joined"})");
    native->sendText(R"({"type":"join","room":"b","nick":"n"})");
    EXPECT_EQ(native->receive(), R"({"peer":"","type":"joined"})");
    auto third = connect(nullptr);
    third->sendText(R"({"type":"join","room":"c","nick":"n"})");
    EXPECT_EQ(third->receive(), R"({"reason":"Too many attempts, try later.","type":"error"})");
    EXPECT_TRUE(third->waitClosed());
}

TEST(Admission, ProxyHeaderWithoutClientAddressNeverLetsForwardedForChooseTheAddress) {
    ServerSettings settings;
    settings.maxConnectionsPerIp = 0;
    settings.proxyProtocol = true;
    settings.trustedProxies = {"127.0.0.9"};
    rtc::WebSocketServerConfiguration transport;
    transport.proxyProtocol = true;
    SignalServer server(settings, transport);
    const auto v2 = [](char command, char family, const std::string& addresses) {
        return std::string("\r\n\r\n\0\r\nQUIT\n", 12) + command + family + '\0' + static_cast<char>(addresses.size()) +
               addresses;
    };
    const struct {
        const char* what;
        std::string header;
        std::string countedAs;
    } cases[] = {
        {"v1 UNKNOWN", "PROXY UNKNOWN\r\n", "127.0.0.9"},
        {"v2 LOCAL", v2('\x20', '\x00', ""), "127.0.0.9"},
        {"v2 unspecified family", v2('\x21', '\x00', ""), "127.0.0.9"},
        {"v2 UNIX stream", v2('\x21', '\x31', std::string(216, '\0')), "127.0.0.9"},
        // A source the header names is the address even when it is a trusted one.
        {"v1 TCP4 naming a proxy", "PROXY TCP4 127.0.0.9 127.0.0.1 5000 443\r\n", "127.0.0.9"},
        {"v1 TCP4", "PROXY TCP4 198.51.100.7 127.0.0.1 5000 443\r\n", "198.51.100.7"},
    };
    std::vector<std::unique_ptr<WsClient>> held;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int before = server.ipCount(c.countedAs);
        ClientOptions options;
        options.sourceAddress = "127.0.0.9";
        options.preamble = c.header;
        options.headers = {{"X-Forwarded-For", "203.0.113.5"}};
        held.push_back(WsClient::connect(server.port(), options));
        EXPECT_TRUE(waitUntil([&] { return server.ipCount(c.countedAs) == before + 1; }));
        EXPECT_FALSE(server.hasIpEntry("203.0.113.5"));
    }
}
