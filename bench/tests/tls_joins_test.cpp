// The generator's wss clients: joins and idle over TLS reach a TLS server, and plain clients do not.
#include <gtest/gtest.h>

#include "support/process.hpp"
#include "workloads.hpp"

namespace {

TEST(TlsWorkloads, JoinAndHoldOverWssAndAreNamedSo) {
    // The binary, as make bench runs it: TLS is set up by its start-up from the configuration file.
    const std::string data = MURVA_TEST_DATA;
    testing_support::TempDir dir;
    const uint16_t port = testing_support::freeLoopbackPort();
    dir.write("tls.json", R"({"port": )" + std::to_string(port) + R"(, "bind_address": "127.0.0.1",
        "max_connections_per_ip": 0, "log_level": "none", "tls": {"enabled": true,
        "cert_file": ")" + data +
                              R"(/cert.pem", "key_file": ")" + data + R"(/key.pem"}})");
    testing_support::ChildProcess server(MURVA_SIGNAL_BINARY, {dir.path(), {"tls.json"}, {}, {}, {}});
    ASSERT_TRUE(server.waitForStdout("listening on wss://")) << server.stdoutText() << server.stderrText();
    bench::Target target;
    target.port = port;
    target.serverPid = server.pid();
    bench::Options options;
    options.clients = 40;
    options.concurrency = 8;
    options.timeout = 20;
    options.settle = 0;

    struct Case {
        const char* workload;
        bool tls;
        bool complete;
    };
    for (const Case c : {Case{"joins-tls", true, true}, Case{"idle-tls", true, true}, Case{"joins", false, false}}) {
        options.tls = c.tls;
        options.roomPrefix = std::string("tls-test-") + c.workload;
        const auto result = std::string(c.workload).rfind("idle", 0) == 0 ? bench::runIdle(target, options)
                                                                          : bench::runJoins(target, options);
        EXPECT_EQ(result.value("workload", ""), c.workload);
        EXPECT_EQ(result.value("complete", !c.complete), c.complete) << result.dump();
        EXPECT_EQ(result.value("ops", 0u), c.complete ? 40u : 0u) << result.dump();
        EXPECT_EQ(result.value("out_of_order", 1u), 0u);
    }
}

} // namespace
