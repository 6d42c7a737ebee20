// Prometheus text output: what the writer and the process metrics produce passes promtool, label values and help
// text are escaped, and the process_* values are this process's own; a server's pages and its /metrics.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "app/metrics_text.hpp"
#include "app/process_metrics.hpp"
#include "app_test_util.hpp"
#include "support/process.hpp"
#include "support/signal_server.hpp"
#include "support/ws_client.hpp"

using namespace std::chrono_literals;
using namespace murva;
using testing_support::ChildProcess;
using testing_support::freeLoopbackPort;
using testing_support::ProcessOptions;
using testing_support::SignalServer;
using testing_support::TempDir;
using testing_support::WsClient;

namespace {

struct Check {
    std::optional<int> status;
    std::string output;
};

// `promtool check metrics` with `text` on its standard input.
Check promtoolCheck(const std::string& text) {
    TempDir dir;
    dir.write("metrics.txt", text);
    ProcessOptions options;
    options.args = {"check", "metrics"};
    options.stdinFile = dir.file("metrics.txt");
    ChildProcess promtool(MURVA_PROMTOOL, options);
    auto status = promtool.waitExit(30s);
    return {status, promtool.stdoutText() + promtool.stderrText()};
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

double clockSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

} // namespace

TEST(MetricsText, OutputPassesPromtoolWithLabelValuesEscaped) {
    ASSERT_STRNE(MURVA_PROMTOOL, "") << "promtool not found: run scripts/install-deps.sh";
    std::string text;
    appendFamilyHeader(text, "murva_joins_total", MetricType::Counter, "Joins by result.\nA \\ stays.");
    appendSample(text, "murva_joins_total", {{"result", "ok"}}, std::uint64_t{1152921504606846977});
    appendSample(text, "murva_joins_total", {{"result", "a\"b\\c\nd"}}, 3);
    appendFamilyHeader(text, "murva_room_ratio", MetricType::Gauge, "Assorted values.");
    appendSample(text, "murva_room_ratio", {{"kind", "nan"}, {"side", "x"}}, std::nan(""));
    appendSample(text, "murva_room_ratio", {{"kind", "inf"}, {"side", "x"}}, std::numeric_limits<double>::infinity());
    appendSample(text, "murva_room_ratio", {{"kind", "ninf"}, {"side", "x"}}, -std::numeric_limits<double>::infinity());
    appendSample(text, "murva_room_ratio", {{"kind", "small"}, {"side", "x"}}, -0.1);
    appendMetric(text, "murva_connections", MetricType::Gauge, "Connections open now.", 0);
    appendProcessMetrics(text, readProcessMetrics());

    EXPECT_TRUE(contains(text, "# HELP murva_joins_total Joins by result.\\nA \\\\ stays.\n")) << text;
    EXPECT_TRUE(contains(text, "murva_joins_total{result=\"a\\\"b\\\\c\\nd\"} 3\n")) << text;
    EXPECT_TRUE(contains(text, "murva_joins_total{result=\"ok\"} 1152921504606846977\n")) << text; // not rounded
    EXPECT_TRUE(contains(text, "{kind=\"nan\",side=\"x\"} NaN\n")) << text;
    EXPECT_TRUE(contains(text, "{kind=\"inf\",side=\"x\"} +Inf\n")) << text;
    EXPECT_TRUE(contains(text, "{kind=\"ninf\",side=\"x\"} -Inf\n")) << text;
    EXPECT_TRUE(contains(text, "{kind=\"small\",side=\"x\"} -0.1\n")) << text;
    for (const char* family :
         {"process_cpu_seconds_total", "process_start_time_seconds", "process_resident_memory_bytes",
          "process_virtual_memory_bytes", "process_open_fds", "process_max_fds"})
        EXPECT_TRUE(contains(text, std::string("\n") + family + " ")) << family;

    auto check = promtoolCheck(text);
    EXPECT_EQ(check.status, 0) << check.output << text;
    // The same check turns down an unescaped quote, so the pass above is promtool reading our text.
    auto broken = promtoolCheck("# TYPE murva_x gauge\nmurva_x{a=\"\"\"} 1\n");
    EXPECT_NE(broken.status, 0) << broken.output;
}

TEST(ProcessMetrics, DescribeThisProcess) {
    // A command name holding ") " must not shift the fields read after it.
    char name[17] = {};
    prctl(PR_GET_NAME, name);
    prctl(PR_SET_NAME, "x) 1 2 (y");
    for (auto end = clockSeconds(CLOCK_PROCESS_CPUTIME_ID) + 0.2; clockSeconds(CLOCK_PROCESS_CPUTIME_ID) < end;) {
    }
    const double cpuNow = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
    auto before = readProcessMetrics();
    int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
    auto after = readProcessMetrics();
    close(file);
    prctl(PR_SET_NAME, name);

    ASSERT_TRUE(before.cpuSecondsTotal && before.startTimeSeconds && before.residentMemoryBytes &&
                before.virtualMemoryBytes && before.openFds && before.maxFds && after.openFds);
    EXPECT_NEAR(*before.cpuSecondsTotal, cpuNow, 0.1);
    EXPECT_GT(*before.residentMemoryBytes, 0u);
    EXPECT_GE(*before.virtualMemoryBytes, *before.residentMemoryBytes);
    EXPECT_NEAR(*before.startTimeSeconds, clockSeconds(CLOCK_REALTIME), 60); // each test runs in a fresh process
    EXPECT_EQ(*after.openFds, *before.openFds + 1);
    EXPECT_GE(*before.maxFds, *before.openFds);

    // Counted another way: every descriptor number that is open.
    std::uint64_t open = 0;
    for (int fd = 0; fd < static_cast<int>(std::min<std::uint64_t>(*before.maxFds, 1u << 20)); ++fd)
        open += fcntl(fd, F_GETFD) != -1;
    EXPECT_EQ(*before.openFds, open);

    // Where /proc/stat is hidden, the boot time comes from the clocks and agrees with btime.
    EXPECT_NEAR(bootTimeSeconds(), bootTimeSeconds("/nonexistent/stat"), 2);
}

TEST(ServerPages, HealthPageAndMetricsFollowAScriptedSession) {
    ServerSettings settings;
    settings.admin.port = freeLoopbackPort();
    SignalServer server(settings);
    const uint16_t main = server.port(), admin = server.server().adminPort();
    ASSERT_EQ(admin, settings.admin.port);

    // The main port serves health and the client's page; the admin port health and metrics, not the page.
    struct Row {
        uint16_t port;
        std::string path, status, part, method = "GET";
    };
    for (const Row& row : std::vector<Row>{
             {main, "/healthz", "200 OK", "\r\n\r\nok"},
             {main, "/healthz", "200 OK", "Cache-Control: no-store", "HEAD"},
             {main, "/readyz", "200 OK", "\r\n\r\nready"},
             {main, "/", "200 OK", "Content-Security-Policy: default-src 'none'"},
             {main, "/app.js?v=1", "200 OK", "text/javascript"},
             {main, "/nope", "426 Upgrade Required", ""},
             {admin, "/readyz", "200 OK", "ready"},
             {admin, "/", "404 Not Found", ""},
         }) {
        const std::string response = app_test::httpRequest(row.port, row.method, row.path);
        EXPECT_TRUE(contains(response, "HTTP/1.1 " + row.status) && contains(response, row.part))
            << row.method << " " << row.path << ":\n"
            << response;
    }

    auto a = WsClient::connect(main), b = WsClient::connect(main);
    a->sendText(R"({"type":"join","room":"r","nick":"a"})");
    ASSERT_TRUE(a->receive());
    b->sendText(R"({"type":"join","room":"r","nick":"b"})");
    ASSERT_TRUE(b->receive());
    ASSERT_TRUE(a->receive()); // peer-joined
    a->sendText(R"({"type":"offer","sdp":"v=0"})");
    ASSERT_TRUE(b->receive());
    b->sendText(R"({"type":"join","room":")" + std::string(200, 'x') + R"(","nick":"c"})"); // in a room: relayed
    ASSERT_TRUE(a->receive());
    b->sendText("not json");
    b->sendText(R"({"type":"answer","sdp":"v=0"})"); // once relayed, the frame before it was handled too
    ASSERT_TRUE(a->receive());

    const std::string response = app_test::httpGet(admin, "/metrics");
    ASSERT_TRUE(contains(response, "Content-Type: text/plain; version=0.0.4")) << response;
    const std::string metrics = response.substr(response.find("\r\n\r\n") + 4);
    const auto check = promtoolCheck(metrics);
    EXPECT_EQ(check.status, 0) << check.output;
    for (const char* sample :
         {"murva_connections 2\n", "murva_rooms{state=\"full\"} 1\n", "murva_rooms{state=\"waiting\"} 0\n",
          "murva_joins_total{result=\"ok\"} 2\n", "murva_messages_relayed_total 3\n",
          "murva_messages_dropped_total{reason=\"malformed\"} 1\n", "murva_connections_accepted_total 2\n",
          "murva_build_info{version=\""})
        EXPECT_TRUE(contains(metrics, sample)) << sample << " missing in\n" << metrics;
}
