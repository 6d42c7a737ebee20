// The server behind a real HAProxy and nginx (the files of dist/): clients counted and logged by their own
// address, health checks served, forged forwarding ignored.
#include <gtest/gtest.h>

#include "app_test_util.hpp"
#include "support/raw_socket.hpp"

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

using namespace app_test;

namespace {

const std::string joined = R"({"peer":"","type":"joined"})";
const std::string atCapacity = R"({"reason":"Server is at capacity.","type":"error"})";

std::string joinIn(int room) { return R"({"type":"join","room":"r)" + std::to_string(room) + R"(","nick":"n"})"; }

ClientOptions from(const std::string& source, std::vector<std::pair<std::string, std::string>> headers = {}) {
    ClientOptions options;
    options.sourceAddress = source;
    options.headers = std::move(headers);
    return options;
}

Started startSignal(const TempDir& dir, const std::string& members) {
    return startOnFreePort(
        dir.path(),
        [&](uint16_t port) {
            dir.write("murva-signal.json", configText(port, members));
            return std::vector<std::string>{"murva-signal.json"};
        },
        5);
}

bool accepts(uint16_t port) {
    try {
        RawSocket probe(port);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

struct ProxySetup {
    const char* name;
    bool proxyProtocol; // the server expects a PROXY header
    bool tls;           // the proxy ends TLS
    std::string program;
    std::function<std::string(uint16_t listen, uint16_t server, const std::string& dir)> config;
    std::function<std::vector<std::string>(const std::string& dir)> args;
    std::function<std::map<std::string, std::string>(uint16_t listen, uint16_t server)> env = {};
};

std::string readSource(const std::string& path) {
    std::ifstream in(std::string(MURVA_SOURCE_DIR) + "/" + path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string substituted(std::string text, const std::vector<std::pair<std::string, std::string>>& replacements) {
    for (const auto& [name, value] : replacements) {
        const auto at = text.find(name);
        EXPECT_NE(at, std::string::npos) << name << " is not in the file";
        for (auto pos = at; pos != std::string::npos; pos = text.find(name, pos + value.size()))
            text.replace(pos, name.size(), value);
    }
    return text;
}

std::string haproxyConfig(const std::string& mode, uint16_t listen, const std::string& backend) {
    return "defaults\n    mode " + mode +
           "\n    timeout connect 5s\n    timeout client 30s\n    timeout server 30s\n    timeout tunnel 60s\n"
           "frontend in\n    bind 127.0.0.1:" +
           std::to_string(listen) + "\n    default_backend murva\n" + "backend murva\n" + backend;
}

// dist/haproxy.cfg as shipped, its addresses given in the environment; dist/nginx-murva-signal.conf with its
// ports and certificate replaced, inside an nginx main file of the test's own.
std::vector<ProxySetup> proxySetups() {
    auto haproxyArgs = [](const std::string& dir) { return std::vector<std::string>{"-db", "-f", dir + "/proxy.cfg"}; };
    return {
        {"dist/haproxy.cfg: tcp, PROXY v2", true, false, "/usr/sbin/haproxy",
         [](uint16_t, uint16_t, const std::string&) { return readSource("dist/haproxy.cfg"); }, haproxyArgs,
         [](uint16_t listen, uint16_t server) {
             return std::map<std::string, std::string>{{"MURVA_LISTEN", "127.0.0.1:" + std::to_string(listen)},
                                                       {"MURVA_SERVER", "127.0.0.1:" + std::to_string(server)},
                                                       {"MURVA_CHECK_INTER", "100ms"}};
         }},
        {"haproxy http, X-Forwarded-For", false, false, "/usr/sbin/haproxy",
         [](uint16_t listen, uint16_t server, const std::string&) {
             return haproxyConfig("http", listen,
                                  "    mode http\n    option forwardfor\n    server s1 127.0.0.1:" +
                                      std::to_string(server) + " check\n");
         },
         haproxyArgs},
        {"dist/nginx-murva-signal.conf: TLS, X-Forwarded-For", false, true, "/usr/sbin/nginx",
         [](uint16_t listen, uint16_t server, const std::string& dir) {
             const std::string data = std::string(MURVA_SOURCE_DIR) + "/tests/data/";
             std::ofstream(dir + "/site.conf")
                 << substituted(readSource("dist/nginx-murva-signal.conf"),
                                {{"listen 443 ssl;", "listen 127.0.0.1:" + std::to_string(listen) + " ssl;"},
                                 {"    listen [::]:443 ssl;\n", ""},
                                 {"127.0.0.1:8080", "127.0.0.1:" + std::to_string(server)},
                                 {"/etc/letsencrypt/live/signal.example.org/fullchain.pem", data + "cert.pem"},
                                 {"/etc/letsencrypt/live/signal.example.org/privkey.pem", data + "key.pem"}});
             // One process, so ending its PID ends the proxy.
             return substituted(R"(master_process off;
pid @DIR@/nginx.pid;
error_log @DIR@/error.log;
events { worker_connections 256; }
http {
    access_log off;
    client_body_temp_path @DIR@/body;
    proxy_temp_path @DIR@/proxy;
    fastcgi_temp_path @DIR@/fastcgi;
    uwsgi_temp_path @DIR@/uwsgi;
    scgi_temp_path @DIR@/scgi;
    include @DIR@/site.conf;
}
)",
                                {{"@DIR@", dir}});
         },
         [](const std::string& dir) {
             return std::vector<std::string>{"-p", dir,          "-e", dir + "/error.log", "-c", dir + "/proxy.cfg",
                                             "-g", "daemon off;"};
         }},
    };
}

// Starts the proxy on a free loopback port and waits until that port accepts.
Started startProxy(const TempDir& dir, const ProxySetup& setup, uint16_t serverPort) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        Started proxy;
        proxy.port = freeLoopbackPort();
        dir.write("proxy.cfg", setup.config(proxy.port, serverPort, dir.path()));
        ProcessOptions options;
        options.workingDirectory = dir.path();
        options.args = setup.args(dir.path());
        if (setup.env)
            options.setEnv = setup.env(proxy.port, serverPort);
        proxy.child = std::make_unique<ChildProcess>(setup.program, options);
        if (waitUntil([&] { return proxy.child->waitExit(0ms) || accepts(proxy.port); }, 10s) &&
            !proxy.child->waitExit(0ms))
            return proxy;
        ADD_FAILURE() << setup.name << " did not start: " << proxy.child->stderrText();
    }
    return {};
}

// The admin port's murva_connections_refused_total, summed over its reasons.
uint64_t refusedTotal(uint16_t adminPort) {
    std::istringstream metrics(httpGet(adminPort, "/metrics"));
    uint64_t total = 0;
    for (std::string line; std::getline(metrics, line);)
        if (line.rfind("murva_connections_refused_total{", 0) == 0)
            total += std::stoull(line.substr(line.rfind(' ') + 1));
    return total;
}

TEST(ReverseProxy, CountsAndLogsEachClientByItsOwnAddressBehindHaproxyAndNginx) {
    for (const auto& setup : proxySetups()) {
        SCOPED_TRACE(setup.name);
        TempDir dir;
        const uint16_t adminPort = freeLoopbackPort();
        auto server = startSignal(dir, R"("max_connections_per_ip": 1, "trusted_proxies": ["127.0.0.1"], )"
                                       R"("log_format": "json", "log_level": "debug", "admin": {"port": )" +
                                           std::to_string(adminPort) + "}" +
                                           (setup.proxyProtocol ? R"(, "proxy_protocol": true)" : ""));
        ASSERT_FALSE(server.child->waitExit(0ms)) << server.child->stderrText();
        auto proxy = startProxy(dir, setup, server.port);
        ASSERT_TRUE(proxy.child);

        // Counted as the proxy's one address, the second client would already be refused.
        std::vector<std::unique_ptr<WsClient>> clients;
        for (int i = 2; i <= 41; ++i) {
            auto options = from("127.0.0." + std::to_string(i));
            options.tls = setup.tls;
            clients.push_back(WsClient::connect(proxy.port, options));
            clients.back()->sendText(joinIn(i));
        }
        for (auto& client : clients)
            EXPECT_EQ(client->receive(), joined);
        // Counted per connection (or per proxy port), this one would get in.
        auto options = from("127.0.0.7");
        options.tls = setup.tls;
        auto again = WsClient::connect(proxy.port, options);
        EXPECT_EQ(again->receive(), atCapacity);

        // The console names the clients, not the proxy.
        ASSERT_TRUE(server.child->waitForStdout("\"per_ip\""));
        std::set<std::string> joinedFrom;
        std::string refusedFrom;
        for (const auto& line : server.child->stdoutLines()) {
            const auto parsed = nlohmann::json::parse(line);
            if (parsed.value("event", "") == "join")
                joinedFrom.insert(parsed.value("client", ""));
            if (parsed.value("event", "") == "refused" && parsed.value("reason", "") == "per_ip")
                refusedFrom = parsed.value("client", "");
        }
        EXPECT_EQ(joinedFrom.size(), 40u);
        EXPECT_EQ(joinedFrom.count("127.0.0.1"), 0u);
        EXPECT_EQ(refusedFrom, "127.0.0.7");
        // So does the transport's log.
        std::set<std::string> openedFrom;
        std::istringstream log(server.child->stderrText());
        for (std::string line; std::getline(log, line);) {
            const std::string msg = nlohmann::json::parse(line).value("msg", "");
            if (msg.rfind("WebSocket open: ", 0) == 0) // "ip", or "ip:port" when the PROXY header named it
                openedFrom.insert(msg.substr(16, msg.find(':', 16) - 16));
        }
        EXPECT_EQ(openedFrom, joinedFrom);

        // The shipped HAProxy file's health check (every 100 ms here) is a served request, no refusal.
        if (setup.env) {
            const uint64_t before = refusedTotal(adminPort);
            std::this_thread::sleep_for(1s);
            EXPECT_EQ(refusedTotal(adminPort), before) << proxy.child->stderrText();
        }
    }
}

TEST(ReverseProxy, IgnoresForwardedForFromAnUntrustedPeer) {
    TempDir dir;
    auto server = startSignal(dir, R"("max_connections_per_ip": 1, "trusted_proxies": ["10.0.0.0/8"])");
    ASSERT_FALSE(server.child->waitExit(0ms)) << server.child->stderrText();
    auto first = WsClient::connect(server.port, from("127.0.0.5", {{"X-Forwarded-For", "1.2.3.4"}}));
    first->sendText(joinIn(1));
    ASSERT_EQ(first->receive(), joined);

    const std::vector<std::vector<std::pair<std::string, std::string>>> forgeries = {
        {{"X-Forwarded-For", "1.2.3.4"}},
        {{"X-Forwarded-For", "5.6.7.8"}},
        {{"X-Forwarded-For", "5.6.7.8, 10.0.0.1"}},
        {{"X-Forwarded-For", "9.9.9.9"}, {"X-Forwarded-For", "10.0.0.2"}},
    };
    for (const auto& headers : forgeries) {
        SCOPED_TRACE(headers.front().second);
        auto forged = WsClient::connect(server.port, from("127.0.0.5", headers));
        EXPECT_EQ(forged->receive(), atCapacity);
    }
}

TEST(ReverseProxy, TakesProxyHeadersFromTrustedPeersOnly) {
    TempDir dir;
    auto server =
        startSignal(dir, R"("max_connections_per_ip": 1, "proxy_protocol": true, "trusted_proxies": ["127.0.0.9"])");
    ASSERT_FALSE(server.child->waitExit(0ms)) << server.child->stderrText();
    auto header = [&](const std::string& client) {
        return "PROXY TCP4 " + client + " 127.0.0.1 1111 " + std::to_string(server.port) + "\r\n";
    };
    const struct {
        std::string peer, client;
        bool admitted;
    } cases[] = {
        {"127.0.0.5", "1.2.3.4", false},
        {"127.0.0.9", "1.2.3.4", true},
        {"127.0.0.9", "1.2.3.5", true}, // another client behind the same proxy
        {"127.0.0.5", "1.2.3.6", false},
    };
    std::vector<std::unique_ptr<WsClient>> held;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.peer + " for " + c.client);
        auto options = from(c.peer);
        options.preamble = header(c.client);
        options.timeout = 2s;
        std::unique_ptr<WsClient> client;
        try {
            client = WsClient::connect(server.port, options);
        } catch (const std::runtime_error&) {
        }
        ASSERT_EQ(client != nullptr, c.admitted);
        if (client) {
            client->sendText(joinIn(static_cast<int>(held.size())));
            EXPECT_EQ(client->receive(), joined);
            held.push_back(std::move(client));
        }
    }
}

} // namespace
