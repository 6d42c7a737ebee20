// The process's stop: a drain that lets open pairs finish, refuses newcomers and reports 503, then 1001 for
// the rest and exit status 0 with every console line written; systemd hears of each step. SIGHUP reloads TLS.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iterator>

#include "app/stop_sequence.hpp"
#include "app_test_util.hpp"
#include "support/raw_socket.hpp"
#include "support/signal_server.hpp"

using namespace app_test;

namespace {

const std::string offer = R"({"type":"offer","sdp":"v=0\r\n"})";

} // namespace

TEST(Stop, DrainLetsPairsFinishThenClosesWithGoingAwayAndExitsCleanly) {
    TempDir dir;
    NotifyReceiver manager(dir.file("notify"));
    const uint16_t admin = freeLoopbackPort();
    auto started =
        startOnFreePort(dir.path(),
                        [&](uint16_t port) {
                            dir.write("c.json", configText(port, R"("drain_timeout_ms": 1500, "admin": {"port": )" +
                                                                     std::to_string(admin) + "}"));
                            return std::vector<std::string>{"c.json"};
                        },
                        6, {{"NOTIFY_SOCKET", dir.file("notify")}, {"WATCHDOG_USEC", "100000"}});
    ASSERT_TRUE(started.child->waitForStdoutLines(6)) << started.child->stderrText();
    EXPECT_EQ(manager.receive(), "READY=1");
    EXPECT_NE(httpGet(admin, "/readyz").find("200 OK"), std::string::npos);
    EXPECT_EQ(metricValue(admin, "murva_draining"), 0);

    auto a = WsClient::connect(started.port), b = WsClient::connect(started.port),
         alone = WsClient::connect(started.port);
    for (auto* client : {a.get(), b.get(), alone.get()}) { // one after the other: a is told of b
        client->sendText(std::string(R"({"type":"join","nick":"n","room":")") + (client == alone.get() ? "x" : "r") +
                         "\"}");
        ASSERT_TRUE(client->receive());
    }
    ASSERT_TRUE(a->receive()); // peer-joined
    // The watchdog is fed every 50 ms while the server serves.
    int pings = 0;
    while (pings < 3 && manager.receive() == "WATCHDOG=1")
        ++pings;
    EXPECT_EQ(pings, 3);

    ASSERT_EQ(::kill(started.child->pid(), SIGTERM), 0);
    std::optional<std::string> notice;
    while ((notice = manager.receive()) == "WATCHDOG=1") {
    }
    EXPECT_EQ(notice, "STOPPING=1");
    EXPECT_NE(httpGet(admin, "/readyz").find("503 Service Unavailable"), std::string::npos);
    EXPECT_EQ(metricValue(admin, "murva_draining"), 1);
    EXPECT_THROW(WsClient::connect(started.port), std::runtime_error); // no new connections
    a->sendText(offer);                                                // while open ones go on
    EXPECT_EQ(b->receive(), offer);

    for (auto* client : {a.get(), b.get(), alone.get()})
        EXPECT_EQ(client->waitClosed(5s), 1001);
    EXPECT_EQ(started.child->waitExit(5s), 0) << started.child->stderrText();
    const std::string out = started.child->stdoutText();
    const auto count = [&](const std::string& text) {
        std::size_t n = 0;
        for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("[+] join"), 3u);
    EXPECT_EQ(count("[-] leave"), 3u);
    EXPECT_NE(out.find("[-] leave (rooms=0, clients=0)"), std::string::npos) << out;
}

TEST(Stop, SystemdHearsOfTheDrainOnlyOnceItIsInForce) {
    ServerSettings settings;
    settings.admin.port = freeLoopbackPort();
    SignalServer server(settings);
    std::string readiness;
    bool newcomerRefused = false;
    murva::beginDrain(server.server(), [&] { // where STOPPING=1 goes out
        readiness = httpGet(server.server().adminPort(), "/readyz");
        try {
            RawSocket newcomer(server.port());
        } catch (const std::runtime_error&) {
            newcomerRefused = true;
        }
    });
    EXPECT_NE(readiness.find("503 Service Unavailable"), std::string::npos) << readiness;
    EXPECT_TRUE(newcomerRefused);
}

TEST(Stop, ASecondSignalCutsTheDrainShort) {
    TempDir dir;
    auto started = startOnFreePort(
        dir.path(),
        [&](uint16_t port) {
            dir.write("c.json", configText(port, R"("drain_timeout_ms": 60000)"));
            return std::vector<std::string>{"c.json"};
        },
        7);
    ASSERT_TRUE(started.child->waitForStdoutLines(6)) << started.child->stderrText();
    auto client = WsClient::connect(started.port);
    client->sendText(R"({"type":"join","nick":"n","room":"r"})");
    ASSERT_TRUE(client->receive());
    ASSERT_EQ(::kill(started.child->pid(), SIGTERM), 0);
    EXPECT_FALSE(client->waitClosed(300ms)); // draining: the connection stays
    ASSERT_EQ(::kill(started.child->pid(), SIGINT), 0);
    EXPECT_EQ(client->waitClosed(5s), 1001);
    EXPECT_EQ(started.child->waitExit(5s), 0);
}

TEST(Reload, SighupServesARenewedCertificateToNewConnectionsAndKeepsOpenOnes) {
    TempDir dir;
    const auto copy = [&](const std::string& from, const std::string& to) {
        std::ifstream in(std::string(MURVA_TEST_DATA) + "/" + from);
        dir.write(to, std::string(std::istreambuf_iterator<char>(in), {}));
    };
    copy("cert.pem", "cert.pem");
    copy("key.pem", "key.pem");
    const uint16_t admin = freeLoopbackPort();
    // The certificate's notAfter in seconds since 1970, as openssl and date read it.
    const auto expiry = [&](const std::string& file) {
        ProcessOptions options;
        options.args = {"-c", "date -u -d \"$(openssl x509 -noout -enddate -in " + std::string(MURVA_TEST_DATA) + "/" +
                                  file + " | cut -d= -f2)\" +%s"};
        ChildProcess shell("/bin/sh", options);
        EXPECT_EQ(shell.waitExit(), 0);
        return std::stod(shell.stdoutText());
    };
    const std::string expirySample = "murva_tls_certificate_expiry_timestamp_seconds";
    auto started = startOnFreePort(
        dir.path(),
        [&](uint16_t port) {
            dir.write("c.json",
                      configText(port, R"("tls": {"enabled": true, "cert_file": "cert.pem", "key_file": "key.pem"}, )"
                                       R"("admin": {"port": )" +
                                           std::to_string(admin) + "}"));
            return std::vector<std::string>{"c.json"};
        },
        7);
    ASSERT_TRUE(started.child->waitForStdoutLines(6)) << started.child->stderrText();
    ClientOptions tls;
    tls.tls = true;
    auto open = WsClient::connect(started.port, tls);
    ASSERT_EQ(open->tlsPeerSubject(), "/CN=localhost");
    EXPECT_EQ(metricValue(admin, expirySample), expiry("cert.pem"));

    copy("cert2.pem", "cert.pem");
    copy("key2.pem", "key.pem");
    ASSERT_EQ(::kill(started.child->pid(), SIGHUP), 0);
    EXPECT_TRUE(
        waitUntil([&] { return WsClient::connect(started.port, tls)->tlsPeerSubject() == "/CN=murva-second"; }));
    EXPECT_EQ(metricValue(admin, expirySample), expiry("cert2.pem"));

    dir.write("cert.pem", "not a certificate");
    ASSERT_EQ(::kill(started.child->pid(), SIGHUP), 0);
    EXPECT_TRUE(waitUntil([&] { return started.child->stderrText().find("TLS reload failed") != std::string::npos; }));
    EXPECT_EQ(WsClient::connect(started.port, tls)->tlsPeerSubject(), "/CN=murva-second"); // the old pair stays
    EXPECT_EQ(metricValue(admin, expirySample), expiry("cert2.pem"));
    EXPECT_EQ(metricValue(admin, R"(murva_config_reloads_total{result="ok"})"), 1);
    EXPECT_EQ(metricValue(admin, R"(murva_config_reloads_total{result="failed"})"), 1);

    // A key that is not the certificate's (another type: every handshake would fail) is a failed reload too.
    copy("cert2.pem", "cert.pem");
    copy("key-rsa.pem", "key.pem");
    ASSERT_EQ(::kill(started.child->pid(), SIGHUP), 0);
    EXPECT_TRUE(waitUntil([&] { return metricValue(admin, R"(murva_config_reloads_total{result="failed"})") == 2; }));
    EXPECT_NE(started.child->stderrText().find("does not belong to the certificate"), std::string::npos)
        << started.child->stderrText();
    EXPECT_EQ(WsClient::connect(started.port, tls)->tlsPeerSubject(), "/CN=murva-second"); // the old pair stays
    EXPECT_EQ(metricValue(admin, R"(murva_config_reloads_total{result="ok"})"), 1);

    open->sendText(R"({"type":"join","nick":"n","room":"r"})"); // the first connection never noticed
    EXPECT_EQ(open->receive(), R"({"peer":"","type":"joined"})");

    // During a drain SIGHUP still reloads, and the drain goes on.
    ASSERT_EQ(::kill(started.child->pid(), SIGTERM), 0);
    ASSERT_TRUE(waitUntil([&] { // the drain has begun: the port is closed
        try {
            WsClient::connect(started.port, tls);
            return false;
        } catch (const std::runtime_error&) {
            return true;
        }
    }));
    copy("key2.pem", "key.pem"); // a usable pair again
    ASSERT_EQ(::kill(started.child->pid(), SIGHUP), 0);
    const auto reloads = [&] { return metricValue(admin, R"(murva_config_reloads_total{result="ok"})"); };
    EXPECT_TRUE(waitUntil([&] { return reloads() == 2; })) << started.child->stderrText();
    EXPECT_NE(started.child->stdoutText().find("TLS certificate read again"), std::string::npos);
    EXPECT_FALSE(open->waitClosed(300ms)); // still draining
    ASSERT_EQ(::kill(started.child->pid(), SIGINT), 0);
    EXPECT_EQ(open->waitClosed(5s), 1001);
    EXPECT_EQ(started.child->waitExit(5s), 0);
}
