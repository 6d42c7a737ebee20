// What an operator meets on the second day, through the binary: configuration mistakes named, JSON console and
// log lines, refusals logged within their budget, and SIGHUP applying the file under open rooms.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "app_test_util.hpp"
#include "signaling/turn_credentials.hpp"
#include "support/raw_socket.hpp"

using namespace app_test;
using nlohmann::json;

namespace {

const std::string joined = R"({"peer":"","type":"joined"})";

std::string joinMessage(const std::string& room, const std::string& password = "") {
    return R"({"type":"join","room":")" + room + R"(","nick":"n","password":")" + password + R"("})";
}

Started startWith(const TempDir& dir, const std::string& members, std::size_t lines) {
    return startOnFreePort(
        dir.path(),
        [&](uint16_t port) {
            dir.write("murva-signal.json", configText(port, members));
            return std::vector<std::string>{"murva-signal.json"};
        },
        lines);
}

// Every stdout line as a JSON object; a line that does not parse fails the test.
std::vector<json> jsonLines(ChildProcess& child) {
    std::vector<json> out;
    for (const auto& line : child.stdoutLines()) {
        auto parsed = json::parse(line, nullptr, false);
        EXPECT_TRUE(parsed.is_object()) << line;
        if (parsed.is_object())
            out.push_back(parsed);
    }
    return out;
}

std::size_t countEvents(const std::vector<json>& lines, const std::string& event, const std::string& reason = "") {
    return std::count_if(lines.begin(), lines.end(), [&](const json& l) {
        return l.value("event", "") == event && (reason.empty() || l.value("reason", "") == reason);
    });
}

} // namespace

TEST(OperatorConfig, MistakesAreNamedAndCheckConfigSaysWhatWouldRun) {
    struct Case {
        std::string text;
        int status;
        std::vector<std::string> stderrHas;
    };
    const Case cases[] = {
        {R"({"pasword": "pw", "max_conections": 5, "tls": {"cert": "c.pem"},)"
         R"( "turn": {"urls": ["turn:t"], "secret": "s", "ttl": 5}, "cluster": {"usr": "u", "tls": {"cafile": "ca.pem"}}})",
         0,
         {R"(Unknown key "pasword" ignored (did you mean "password"?))",
          R"(Unknown key "max_conections" ignored (did you mean "max_connections"?))",
          R"(Unknown key "tls.cert" ignored (did you mean "tls.cert_file"?))",
          R"(Unknown key "turn.ttl" ignored (did you mean "turn.ttl_seconds"?))",
          R"(Unknown key "cluster.usr" ignored (did you mean "cluster.user"?))",
          R"(Unknown key "cluster.tls.cafile" ignored (did you mean "cluster.tls.ca_file"?))"}},
        {R"({"max_connections": "100"})", 1, {R"(: "max_connections": must be a number)"}},
        {R"({"tls": {"enabled": "yes"}})", 1, {R"(: "tls.enabled": must be true or false)"}},
        {R"({"admin": {"port": "x"}})", 1, {R"(: "admin.port": must be a number)"}},
        {R"({"log_format": "yaml"})", 1, {R"("log_format": must be "text" or "json")"}},
        {R"({"port": 8080,})", 1, {"invalid JSON"}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        dir.write("c.json", c.text);
        auto child = startServer(dir.path(), {"--check-config", "c.json"});
        EXPECT_EQ(child->waitExit(), c.status) << c.text;
        for (const auto& needle : c.stderrHas)
            EXPECT_NE(child->stderrText().find(needle), std::string::npos) << c.text << "\n" << child->stderrText();
        if (c.status == 0) {
            const std::string out = child->stdoutText();
            const auto settings = json::parse(out.substr(out.find('{')));
            EXPECT_EQ(settings["turn"]["secret"], "(set)");
            EXPECT_EQ(out.find("\"s\""), std::string::npos) << "the TURN secret shows";
        }
        EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"c.json"}) << "a check writes nothing";
    }

    // The environment's password applies as it would at start, and is masked too.
    TempDir dir;
    dir.write("c.json", "{}");
    auto child = startServer(dir.path(), {"--check-config", "c.json"}, {{"MURVA_SIGNAL_PASSWORD", "hunter2"}});
    EXPECT_EQ(child->waitExit(), 0);
    EXPECT_NE(child->stdoutText().find(R"x("password": "(set)")x"), std::string::npos) << child->stdoutText();
    EXPECT_EQ(child->stdoutText().find("hunter2"), std::string::npos);

    // A Redis URL's password is masked, with a scheme or without one (a slip the check does not refuse).
    for (const std::string url : {"redis://user:url-pw@r:6379/1", "user:url-pw@r:6379", "redis:url-pw@r"}) {
        dir.write("c.json", R"({"ipv6_prefix_length": 56, "cluster": {"redis": ")" + url + R"(", "instance": "a"}})");
        auto check = startServer(dir.path(), {"--check-config", "c.json"});
        EXPECT_EQ(check->waitExit(), 0) << url << "\n" << check->stderrText();
        EXPECT_EQ(check->stdoutText().find("url-pw"), std::string::npos) << check->stdoutText();
        EXPECT_EQ(check->stderrText().find("Unknown key"), std::string::npos) << check->stderrText();
        const std::string out = check->stdoutText();
        const auto shown = json::parse(out.substr(out.find('{')));
        EXPECT_EQ(shown["ipv6_prefix_length"], 56);
        EXPECT_EQ(
            shown["cluster"]["redis"].get<std::string>().substr(shown["cluster"]["redis"].get<std::string>().find('@')),
            url.substr(url.rfind('@')))
            << "the host stays readable";
    }

    // The sentinels' password from the environment is masked; the sentinels are known keys, shown as given.
    dir.write("c.json", R"({"cluster": {"sentinels": ["10.0.0.5:26379", "[fd00::7]:26379"], "master_name": "m"}})");
    auto check = startServer(dir.path(), {"--check-config", "c.json"}, {{"MURVA_SIGNAL_SENTINEL_PASSWORD", "sent-pw"}});
    EXPECT_EQ(check->waitExit(), 0) << check->stderrText();
    EXPECT_EQ(check->stderrText().find("Unknown key"), std::string::npos) << check->stderrText();
    const std::string out = check->stdoutText();
    EXPECT_EQ(out.find("sent-pw"), std::string::npos) << out;
    const auto shown = json::parse(out.substr(out.find('{')));
    EXPECT_EQ(shown["cluster"]["sentinel_password"], "(set)");
    EXPECT_EQ(shown["cluster"]["sentinels"], json::array({"10.0.0.5:26379", "[fd00::7]:26379"}));
}

// A session in JSON: every line parses and carries its fields; refusals name their reason and address; no
// room code, nick or password shows up at info.
TEST(OperatorLogs, JsonSessionLinesCarryTheirFieldsAndRefusalsTheirReasonAndClient) {
    TempDir dir;
    auto server = startWith(
        dir,
        R"("log_format": "json", "log_level": "info", "password": "pw", "max_connections_per_ip": 2, "drain_timeout_ms": 200,
                               "allowed_origins": ["https://ok.example"], "max_joins_per_ip_per_minute": 3)",
        7);
    ASSERT_TRUE(server.child->waitForStdout("\"start\""));
    // Each refusal from an address of its own, so no count waits for another connection's close.
    const auto from = [](const std::string& address) {
        ClientOptions options;
        options.sourceAddress = address;
        return options;
    };
    {
        auto a = WsClient::connect(server.port, from("127.0.0.2"));
        a->sendText(joinMessage("secret-room", "pw"));
        ASSERT_EQ(a->receive(), joined);
        auto b = WsClient::connect(server.port, from("127.0.0.2"));
        b->sendText(joinMessage("secret-room", "wrong"));
        EXPECT_EQ(b->receive(), R"({"type":"unauthorized"})");

        auto held1 = WsClient::connect(server.port, from("127.0.0.3"));
        auto held2 = WsClient::connect(server.port, from("127.0.0.3"));
        for (auto* held : {held1.get(), held2.get()}) { // an answer: admitted before the third comes
            held->sendText(joinMessage(std::string(200, 'y'), "pw"));
            EXPECT_EQ(held->receive(), R"({"reason":"Room code too long.","type":"error"})");
        }
        auto third = WsClient::connect(server.port, from("127.0.0.3"));
        EXPECT_EQ(third->receive(), R"({"reason":"Server is at capacity.","type":"error"})");

        // Three joins a minute from one address (too long a code: each refused, the connection stays), then one more.
        auto eager = WsClient::connect(server.port, from("127.0.0.4"));
        const std::string tooLong(200, 'x');
        for (int i = 0; i < 3; ++i) {
            eager->sendText(joinMessage(tooLong, "pw"));
            EXPECT_EQ(eager->receive(), R"({"reason":"Room code too long.","type":"error"})");
        }
        eager->sendText(joinMessage("secret-room", "pw"));
        EXPECT_EQ(eager->receive(), R"({"reason":"Too many attempts, try later.","type":"error"})");

        ClientOptions foreign;
        foreign.headers = {{"Origin", "https://evil.example"}};
        EXPECT_THROW(WsClient::connect(server.port, foreign), std::runtime_error);

        // Refused by the transport before any upgrade: no request it can read.
        RawSocket garbage(server.port, {.sourceAddress = "127.0.0.5"});
        garbage.sendAll("NOT HTTP\r\n\r\n");
        EXPECT_TRUE(garbage.waitPeerClosed(std::chrono::seconds(3)));
    }
    ASSERT_TRUE(server.child->waitForStdout("\"leave\""));
    dir.write("murva-signal.json",
              configText(server.port, R"("log_format": "json", "password": "new", "drain_timeout_ms": 200)"));
    kill(server.child->pid(), SIGHUP);
    ASSERT_TRUE(server.child->waitForStdout("\"reload\""));
    kill(server.child->pid(), SIGTERM);
    ASSERT_EQ(server.child->waitExit(), 0);

    const auto lines = jsonLines(*server.child);
    for (const auto& line : lines) {
        for (const char* field : {"ts", "level", "msg", "event"})
            EXPECT_TRUE(line.contains(field)) << line;
        EXPECT_TRUE(std::regex_match(line.value("ts", ""), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
            << line;
        const std::string text = line.dump();
        for (const char* secret : {"secret-room", "xxxx", "\"n\"", "pw", "wrong"})
            EXPECT_EQ(text.find(secret), std::string::npos) << line;
    }
    for (const char* event : {"start", "join", "leave", "reload", "drain", "stop"})
        EXPECT_GE(countEvents(lines, event), 1u) << event;
    // Each refusal once, naming its client; the pair's member joined and left as 127.0.0.2.
    const std::map<std::string, std::string> refusedFrom = {{"unauthorized", "127.0.0.2"},
                                                            {"per_ip", "127.0.0.3"},
                                                            {"rate_limited", "127.0.0.4"},
                                                            {"origin", "127.0.0.1"},
                                                            {"bad_handshake", "127.0.0.5"}};
    for (const auto& [reason, client] : refusedFrom)
        EXPECT_EQ(countEvents(lines, "refused", reason), 1u) << reason;
    for (const auto& line : lines) {
        const std::string event = line.value("event", "");
        if (event == "refused") {
            EXPECT_EQ(line.value("client", ""), refusedFrom.at(line.value("reason", ""))) << line;
        } else if (event == "join" || event == "leave") {
            EXPECT_EQ(line.value("client", ""), "127.0.0.2") << line;
        }
    }

    // The transport's log on stderr, at info, is JSON too.
    std::istringstream err(server.child->stderrText());
    std::size_t logLines = 0;
    for (std::string line; std::getline(err, line);) {
        const auto parsed = json::parse(line, nullptr, false);
        ASSERT_TRUE(parsed.is_object() && parsed.contains("ts") && parsed.contains("level") && parsed.contains("msg"))
            << line;
        ++logLines;
    }
    EXPECT_GT(logLines, 0u);
}

TEST(OperatorLogs, AFloodOfRefusalsStaysWithinTheLineBudget) {
    TempDir dir;
    auto server = startWith(dir, R"("log_format": "json", "allowed_origins": ["https://ok.example"])", 7);
    ASSERT_TRUE(server.child->waitForStdout("\"start\""));
    ClientOptions foreign;
    foreign.headers = {{"Origin", "https://evil.example"}};
    constexpr int attempts = 200;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < attempts; ++i)
        EXPECT_THROW(WsClient::connect(server.port, foreign), std::runtime_error);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    kill(server.child->pid(), SIGTERM);
    ASSERT_EQ(server.child->waitExit(), 0);

    const auto lines = jsonLines(*server.child);
    std::size_t logged = 0, told = 0;
    for (const auto& line : lines)
        if (line.value("event", "") == "refused") {
            if (line.contains("not_logged"))
                told += line["not_logged"].get<std::size_t>();
            else
                ++logged;
        }
    EXPECT_LE(logged, 10 * (static_cast<std::size_t>(seconds) + 1)) << seconds << " s";
    EXPECT_EQ(logged + told, static_cast<std::size_t>(attempts)) << "every refusal is logged or counted";
}

// Text as before with the web client off, byte for byte; under systemd's journal every line has its priority.
TEST(OperatorLogs, TextLinesAreTodaysAndCarryJournalPrioritiesUnderSystemd) {
    for (const bool journal : {false, true}) {
        SCOPED_TRACE(journal ? "journal" : "terminal");
        TempDir dir;
        std::map<std::string, std::string> env;
        if (journal)
            env["JOURNAL_STREAM"] = "8:12345";
        auto server = startOnFreePort(
            dir.path(),
            [&](uint16_t port) {
                dir.write("murva-signal.json", configText(port, R"("web_client": false, "password": "pw", )"
                                                                R"("allowed_origins": ["https://ok.example"])"));
                return std::vector<std::string>{"murva-signal.json"};
            },
            6, env);
        {
            auto a = WsClient::connect(server.port);
            a->sendText(joinMessage("r", "pw"));
            ASSERT_EQ(a->receive(), joined);
            ClientOptions foreign; // refused before it is counted, so the counts below do not race its close
            foreign.headers = {{"Origin", "https://evil.example"}};
            EXPECT_THROW(WsClient::connect(server.port, foreign), std::runtime_error);
        }
        ASSERT_TRUE(server.child->waitForStdout("[-] leave"));
        kill(server.child->pid(), SIGTERM);
        ASSERT_EQ(server.child->waitExit(), 0);

        auto summary = defaultSummary("ws://127.0.0.1:" + std::to_string(server.port), false);
        summary[2] = "Server password required to join.";
        std::vector<std::string> expected = {"Loaded config from murva-signal.json"};
        expected.insert(expected.end(), summary.begin(), summary.end());
        expected.insert(expected.end(), {"[+] join (rooms=1, clients=1)", "[!] refused origin from 127.0.0.1",
                                         "[-] leave (rooms=0, clients=0)"});
        if (journal)
            for (auto& line : expected)
                line = (line.rfind("[!]", 0) == 0 ? "<4>" : "<6>") + line;
        std::string text;
        for (const auto& line : expected)
            text += line + "\n";
        EXPECT_EQ(server.child->stdoutText(), text);
    }
}

// SIGHUP under a joined pair: the pair stays and relays, new joins follow the new password, limit, Origin list
// and TURN secret; a broken file changes nothing.
TEST(OperatorReload, TheWholeFileAppliesToWhatComesNextAndABrokenFileChangesNothing) {
    TempDir dir;
    const std::string turn = R"("turn": {"urls": ["turn:127.0.0.1:3478"], "secret": "old-secret"})";
    const uint16_t admin = freeLoopbackPort();
    const std::string fixed = R"("drain_timeout_ms": 100, "admin": {"port": )" + std::to_string(admin) + "}, ";
    auto server = startWith(dir, fixed + R"("password": "old", "allowed_origins": ["https://a.example"], )" + turn, 7);
    // Admissions are counted on the server's side of a close: wait for it there, not for the client's view.
    const auto connectionsAre = [&](double n) {
        return waitUntil([&] { return metricValue(admin, "murva_connections") == n; });
    };
    ASSERT_TRUE(server.child->waitForStdout("TURN credentials"));
    auto a = WsClient::connect(server.port);
    auto b = WsClient::connect(server.port);
    a->sendText(joinMessage("pair", "old"));
    ASSERT_TRUE(a->receive());
    b->sendText(joinMessage("pair", "old"));
    ASSERT_TRUE(b->receive());
    ASSERT_TRUE(a->receive()); // peer-joined

    auto reload = [&](const std::string& members, const std::string& expect) {
        dir.write("murva-signal.json", configText(server.port, members));
        kill(server.child->pid(), SIGHUP);
        return server.child->waitForStdout(expect);
    };
    const std::string next = fixed + R"("password": "new", "max_connections": 3, )"
                                     R"("allowed_origins": ["https://b.example"], )"
                                     R"("turn": {"urls": ["turn:127.0.0.1:3478"], "secret": "new-secret"})";
    ASSERT_TRUE(reload(next, "Reloaded murva-signal.json: password, max_connections, allowed_origins, turn applied"))
        << server.child->stdoutText();

    a->sendText(R"({"type":"offer","sdp":"x"})");
    EXPECT_EQ(b->receive(), R"({"type":"offer","sdp":"x"})") << "the pair relays on";

    ClientOptions originA, originB;
    originA.headers = {{"Origin", "https://a.example"}};
    originB.headers = {{"Origin", "https://b.example"}};
    EXPECT_THROW(WsClient::connect(server.port, originA), std::runtime_error);
    auto c = WsClient::connect(server.port, originB);
    c->sendText(joinMessage("other", "old"));
    EXPECT_EQ(c->receive(), R"({"type":"unauthorized"})");
    ASSERT_TRUE(connectionsAre(2));
    auto d = WsClient::connect(server.port);
    d->sendText(joinMessage("other", "new"));
    const auto reply = json::parse(d->receive().value_or("{}"));
    ASSERT_TRUE(reply.contains("iceServers")) << reply;
    const auto& ice = reply["iceServers"][0];
    EXPECT_EQ(ice["credential"], murva::turnPassword("new-secret", ice["username"])) << "signed with the new secret";
    auto e = WsClient::connect(server.port); // the fourth connection: max_connections is 3 now
    EXPECT_EQ(e->receive(), R"({"reason":"Server is at capacity.","type":"error"})");

    // A restart-only key is named and kept; a broken file changes nothing and names its key.
    ASSERT_TRUE(reload(R"("bind_address": "127.0.0.9", )" + next, "Reloaded murva-signal.json: no changes"));
    EXPECT_NE(server.child->stderrText().find("kept until a restart: bind_address"), std::string::npos);
    ASSERT_TRUE(
        reload(fixed + R"("password": "newer", "max_connections": "many")", "failed; the running settings stay"));
    EXPECT_NE(server.child->stderrText().find(R"(nothing changed: "max_connections": must be a number)"),
              std::string::npos)
        << server.child->stderrText();
    d.reset();
    e.reset();
    ASSERT_TRUE(connectionsAre(2));
    auto f = WsClient::connect(server.port, originB);
    f->sendText(joinMessage("third", "new"));
    EXPECT_NE(f->receive().value_or("").find("joined"), std::string::npos) << "the password stays \"new\"";

    a->sendText(R"({"type":"answer"})");
    EXPECT_EQ(b->receive(), R"({"type":"answer"})");
    kill(server.child->pid(), SIGTERM);
    EXPECT_EQ(server.child->waitExit(), 0);

    // Started with a port and no file, there is nothing to read again, and the line says so.
    auto portOnly = startOnFreePort(
        dir.path(), [](uint16_t port) { return std::vector<std::string>{std::to_string(port)}; }, 6);
    kill(portOnly.child->pid(), SIGHUP);
    EXPECT_TRUE(portOnly.child->waitForStdout("Reload: no configuration file")) << portOnly.child->stdoutText();
}

// A reload reads the credential files as the start does, and a file that cannot be read fails it; the caps on
// connections not upgraded yet follow the reloaded max_connections_per_ip.
TEST(OperatorReload, CredentialFilesAndTheCapsBeforeTheUpgradeFollowTheFile) {
    TempDir dir, credentials;
    credentials.write("password", "from-file\n");
    const uint16_t admin = freeLoopbackPort();
    const auto members = [&](int perIp) {
        return R"("drain_timeout_ms": 100, "admin": {"port": )" + std::to_string(admin) +
               R"(}, "password": "in-the-file", "max_connections_per_ip": )" + std::to_string(perIp);
    };
    auto server = startOnFreePort(dir.path(),
                                  [&](uint16_t port) {
                                      dir.write("murva-signal.json", configText(port, members(1)));
                                      return std::vector<std::string>{"murva-signal.json"};
                                  },
                                  7, {{"CREDENTIALS_DIRECTORY", credentials.path()}});
    ASSERT_TRUE(server.child->waitForStdoutLines(6)) << server.child->stderrText();
    // Each client from an address of its own: a close is counted on the server's side a moment later.
    int nextSource = 10;
    const auto joinReplyWith = [&](const std::string& password) {
        ClientOptions options;
        options.sourceAddress = "127.0.0." + std::to_string(nextSource++);
        auto client = WsClient::connect(server.port, options);
        client->sendText(joinMessage("r" + std::to_string(nextSource), password));
        return client->receive().value_or("");
    };
    EXPECT_EQ(joinReplyWith("from-file"), joined);

    const std::string preUpgradePerIp = R"(murva_connections_refused_total{reason="pre_upgrade_per_ip"})";
    std::vector<std::unique_ptr<RawSocket>> silent; // connections that never send their request
    silent.push_back(std::make_unique<RawSocket>(server.port));
    silent.push_back(std::make_unique<RawSocket>(server.port));
    ASSERT_TRUE(waitUntil([&] { return metricValue(admin, preUpgradePerIp) == 1; })) << "one per client at start";
    std::erase_if(silent, [](const auto& socket) { return socket->waitPeerClosed(100ms); });
    ASSERT_EQ(silent.size(), 1u);

    credentials.write("password", "rotated\n");
    dir.write("murva-signal.json", configText(server.port, members(3)));
    kill(server.child->pid(), SIGHUP);
    ASSERT_TRUE(waitUntil([&] { return metricValue(admin, R"(murva_config_reloads_total{result="ok"})") == 1; }))
        << server.child->stderrText();
    EXPECT_EQ(joinReplyWith("from-file"), R"({"type":"unauthorized"})");
    EXPECT_EQ(joinReplyWith("rotated"), joined);
    silent.push_back(std::make_unique<RawSocket>(server.port));
    silent.push_back(std::make_unique<RawSocket>(server.port)); // three now, as the reloaded file allows
    for (const auto& socket : silent)
        EXPECT_FALSE(socket->waitPeerClosed(200ms));
    EXPECT_EQ(metricValue(admin, preUpgradePerIp), 1);

    // A credential file that cannot be read is a failed reload, and the running password stays.
    std::filesystem::remove(credentials.file("password"));
    std::filesystem::create_directory(credentials.file("password"));
    kill(server.child->pid(), SIGHUP);
    ASSERT_TRUE(waitUntil([&] { return metricValue(admin, R"(murva_config_reloads_total{result="failed"})") == 1; }));
    EXPECT_NE(server.child->stderrText().find("Cannot read credential " + credentials.file("password")),
              std::string::npos)
        << server.child->stderrText();
    EXPECT_EQ(joinReplyWith("rotated"), joined);
    silent.clear();
    kill(server.child->pid(), SIGTERM);
    EXPECT_EQ(server.child->waitExit(), 0);
}
