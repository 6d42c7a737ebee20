// wss: a TLS client is served like a plain one, and the server's close ends its session with close_notify;
// unusable certificate or key files (a key that is not the certificate's too) fail the constructor with a readable
// reason, without ever prompting for a pass phrase; clients that do not speak TLS never get in; a certificate
// reload reaches new connections only, and a failed one changes nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <thread>

#include <openssl/ssl.h>
#include <sys/socket.h>

#include "support/process.hpp"
#include "support/raw_socket.hpp"
#include "transport_test_util.hpp"

using namespace testing_support;
using namespace transport_test;

namespace {

const std::string dataDir = MURVA_TEST_DATA;

rtc::WebSocketServerConfiguration tlsConfig(const std::string& key = dataDir + "/key.pem",
                                            std::optional<std::string> pass = std::nullopt) {
    auto config = loopbackConfig();
    config.enableTls = true;
    config.certificatePemFile = dataDir + "/cert.pem";
    config.keyPemFile = key;
    config.keyPemPass = std::move(pass);
    return config;
}

// The constructor's error, or "" when it succeeded. Runs on its own thread so that a constructor stuck at a
// pass phrase prompt fails the test instead of hanging it.
std::string constructionError(rtc::WebSocketServerConfiguration config) {
    auto result = std::make_shared<std::promise<std::string>>();
    auto future = result->get_future();
    std::thread([config = std::move(config), result] {
        std::string outcome;
        try {
            rtc::WebSocketServer server(config);
        } catch (const std::exception& e) {
            outcome = std::string("error: ") + e.what();
        } catch (...) {
            outcome = "error: (not a std::exception)";
        }
        result->set_value(outcome); // only once the server, if any, is gone again
    }).detach();
    if (future.wait_for(5s) != std::future_status::ready)
        return "still running after 5 s";
    return future.get();
}

void expectExchange(const rtc::WebSocketServerConfiguration& config) {
    auto&& [recorder, server] = RecordingServer(config);

    ClientOptions options;
    options.tls = true;
    auto client = WsClient::connect(server.port(), options);
    ASSERT_TRUE(recorder.waitClients(1));
    EXPECT_EQ(recorder.log(0).remoteAddress, "127.0.0.1:" + std::to_string(client->localPort()));
    EXPECT_TRUE(recorder.log(0).openInOnClient);

    client->sendText("over tls");
    client->sendBinary(std::string("\x00\x01\x02", 3));
    ASSERT_TRUE(recorder.waitMessages(0, 2));
    EXPECT_EQ(recorder.payloads(0), (std::vector<std::string>{"over tls", std::string("\x00\x01\x02", 3)}));
    ASSERT_TRUE(recorder.socket(0)->send(std::string("back over tls")));
    EXPECT_EQ(client->receive(), "back over tls");

    client->close();
    EXPECT_TRUE(client->waitClosed());
    ASSERT_TRUE(recorder.waitClosed(0));
    EXPECT_EQ(recorder.log(0).closedCalls, 1);
}

// A raw OpenSSL client, so the end of the TLS session itself shows: it upgrades, answers the server's close
// frame, and reads until the session ends. Returns what it read and how SSL_read saw the end.
std::pair<std::string, int> readUntilTlsEnds(uint16_t port, Recorder& recorder) {
    const std::size_t index = recorder.clientCount();
    RawSocket raw(port);
    const timeval bound{3, 0}; // every read is bounded: a missing end fails the test instead of hanging it
    setsockopt(raw.fd(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), &SSL_CTX_free);
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), &SSL_free);
    SSL_set_fd(ssl.get(), raw.fd());
    if (SSL_connect(ssl.get()) != 1)
        return {"no TLS handshake", SSL_ERROR_SSL};
    const std::string upgrade = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    SSL_write(ssl.get(), upgrade.data(), static_cast<int>(upgrade.size()));
    if (!recorder.waitClients(index + 1))
        return {"no upgrade", SSL_ERROR_SSL};
    recorder.socket(index)->close();

    std::string received;
    bool answered = false;
    char buffer[4096];
    for (;;) {
        const int n = SSL_read(ssl.get(), buffer, sizeof buffer);
        if (n <= 0)
            return {received, SSL_get_error(ssl.get(), n)};
        received.append(buffer, static_cast<std::size_t>(n));
        if (!answered && received.find("\x88\x02\x03\xe8") != std::string::npos) {
            answered = true;
            const std::string reply = clientFrame(0x8, "\x03\xe8");
            SSL_write(ssl.get(), reply.data(), static_cast<int>(reply.size()));
        }
    }
}

} // namespace

TEST(Tls, ClientExchangesMessagesOverWss) {
    {
        SCOPED_TRACE("plain key");
        expectExchange(tlsConfig());
    }
    {
        SCOPED_TRACE("encrypted key with its pass phrase");
        expectExchange(tlsConfig(dataDir + "/key-encrypted.pem", "murva-test"));
    }
    {
        SCOPED_TRACE("the server's close ends the TLS session with close_notify, not a bare end of the stream");
        auto&& [recorder, server] = RecordingServer(tlsConfig());
        const auto [received, end] = readUntilTlsEnds(server.port(), recorder);
        EXPECT_NE(received.find("\x88\x02\x03\xe8"), std::string::npos) << testing::PrintToString(received);
        EXPECT_EQ(end, SSL_ERROR_ZERO_RETURN);
    }
}

TEST(Tls, UnusableCertificateOrKeyFailsTheConstructorReadably) {
    TempDir dir;
    dir.write("garbage.pem", "this is not a certificate\n");

    // The error names the file and gives OpenSSL's reason.
    auto expectError = [](const rtc::WebSocketServerConfiguration& config, const std::string& file,
                          const std::string& reason) {
        const std::string error = constructionError(config);
        EXPECT_EQ(error.rfind("error: ", 0), 0u) << error;
        EXPECT_NE(error.find(file), std::string::npos) << error;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    };

    auto missingCert = tlsConfig();
    missingCert.certificatePemFile = dir.file("missing.pem");
    expectError(missingCert, dir.file("missing.pem"), "No such file");

    auto garbageCert = tlsConfig();
    garbageCert.certificatePemFile = dir.file("garbage.pem");
    expectError(garbageCert, dir.file("garbage.pem"), "no start line");

    const std::string encrypted = dataDir + "/key-encrypted.pem";
    expectError(tlsConfig(encrypted, "not the pass phrase"), encrypted, "bad decrypt");
    // No pass phrase for an encrypted key: an error at once, never a prompt on the terminal.
    expectError(tlsConfig(encrypted), encrypted, "bad decrypt");

    // A key of another type than the certificate's (RSA beside P-256): OpenSSL would take both into separate slots.
    const std::string rsaKey = dataDir + "/key-rsa.pem";
    expectError(tlsConfig(rsaKey), rsaKey, "does not belong to the certificate");

    auto keyAsCert = tlsConfig();
    keyAsCert.keyPemFile = dataDir + "/cert.pem"; // a certificate where the key should be
    expectError(keyAsCert, dataDir + "/cert.pem", "TLS private key");

    auto noCertName = tlsConfig();
    noCertName.certificatePemFile.reset();
    EXPECT_THROW(rtc::WebSocketServer{noCertName}, std::invalid_argument);
    auto noKeyName = tlsConfig();
    noKeyName.keyPemFile = "";
    EXPECT_THROW(rtc::WebSocketServer{noKeyName}, std::invalid_argument);

    // The usable pair still works after all of that.
    EXPECT_EQ(constructionError(tlsConfig()), "");
}

TEST(Tls, ClientsThatDoNotSpeakTlsNeverReachOnClient) {
    auto&& [recorder, server] = RecordingServer(tlsConfig()); // 300 ms for TLS and upgrade together

    ClientOptions plain;
    plain.timeout = 2s;
    EXPECT_THROW(WsClient::connect(server.port(), plain), std::runtime_error);

    const auto start = std::chrono::steady_clock::now();
    RawSocket silent(server.port());
    EXPECT_TRUE(silent.waitPeerClosed(3s));
    const auto closedMillis =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(closedMillis, 250);
    EXPECT_LE(closedMillis, 1300);

    EXPECT_EQ(recorder.clientCount(), 0u);
    ClientOptions tls;
    tls.tls = true;
    auto client = WsClient::connect(server.port(), tls);
    EXPECT_TRUE(recorder.waitClients(1));
}

TEST(Tls, ReloadServesTheNewPairToNewConnectionsAndKeepsTheOldOneOnFailure) {
    TempDir dir;
    auto install = [&](const std::string& cert, const std::string& key) {
        for (const auto& [from, to] : {std::pair{cert, "cert.pem"}, std::pair{key, "key.pem"}}) {
            std::ifstream in(dataDir + "/" + from, std::ios::binary);
            dir.write(to, std::string(std::istreambuf_iterator<char>(in), {}));
        }
    };
    install("cert.pem", "key.pem");
    auto config = tlsConfig(dir.file("key.pem"));
    config.certificatePemFile = dir.file("cert.pem");
    auto&& [recorder, server] = RecordingServer(config);
    ClientOptions tls;
    tls.tls = true;
    auto subjectOfANewConnection = [&] { return WsClient::connect(server.port(), tls)->tlsPeerSubject(); };

    auto before = WsClient::connect(server.port(), tls);
    EXPECT_EQ(before->tlsPeerSubject(), "/CN=localhost");
    install("cert2.pem", "key2.pem");
    server.reloadCertificate();
    EXPECT_EQ(subjectOfANewConnection(), "/CN=murva-second");
    // The connection made before goes on with its session.
    ASSERT_TRUE(recorder.waitClients(2));
    ASSERT_TRUE(recorder.socket(0)->send(std::string("still here")));
    EXPECT_EQ(before->receive(), "still here");

    // A failing reload says why and changes nothing.
    const std::vector<std::tuple<std::string, std::string, std::string>> failures = {
        {"cert2.pem", "cert.pem", "TLS private key"},                       // a certificate where the key should be
        {"cert2.pem", "key.pem", "TLS private key"},                        // the other certificate's key
        {"cert2.pem", "key-rsa.pem", "does not belong to the certificate"}, // a key of another type
        {"missing.pem", "key2.pem", "No such file"},
    };
    for (const auto& [cert, key, reason] : failures) {
        SCOPED_TRACE(cert + " with " + key);
        install(cert == "missing.pem" ? "cert2.pem" : cert, key);
        if (cert == "missing.pem")
            std::remove(dir.file("cert.pem").c_str());
        try {
            server.reloadCertificate();
            ADD_FAILURE() << "reload succeeded";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
        EXPECT_EQ(subjectOfANewConnection(), "/CN=murva-second");
    }

    install("cert2.pem", "key2.pem");
    std::thread reloader([&] { // reloads racing with accepts
        for (int i = 0; i < 20; ++i)
            server.reloadCertificate();
    });
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(subjectOfANewConnection(), "/CN=murva-second");
    reloader.join();
    rtc::WebSocketServer plain(loopbackConfig());
    EXPECT_THROW(plain.reloadCertificate(), std::logic_error);
}
