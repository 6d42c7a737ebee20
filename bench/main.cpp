// murva-bench: a load generator for murva-signal over loopback WebSocket connections.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "probe.hpp"
#include "report.hpp"
#include "workloads.hpp"

namespace {

const char* const usage = R"(usage:
  murva-bench stream|pingpong|latency|joins|idle|capacity --port N [options]
  murva-bench table [FILE]        print a table of the JSON result lines in FILE (or standard input)
  murva-bench compare FILE [BASE] side by side per --label: the median of each server's runs of each workload,
                                  and its ratio to BASE's (default "floor")
  murva-bench free-port           print a TCP port that is free on 127.0.0.1
  murva-bench wait-port --port N [--timeout S]   wait until 127.0.0.1:N accepts connections
  murva-bench wait-ready --port N [--timeout S]  wait until 127.0.0.1:N answers GET /readyz with 200

workloads:
  stream     P pairs, each in its own room; A keeps W candidate frames in flight towards B (W = sent - received);
             with --rate, A sends on a clock instead, R frames per second over all pairs, at most W in flight
  pingpong   P pairs; one frame bounces A -> B -> A; round-trip percentiles
  latency    P pairs; round trips A -> B -> A offered at R per second on a clock (open loop); latency from each
             one's due time, the generator's lateness, server CPU per round trip
  joins      N clients in pairs, C connecting at once: connect, join, both told of each other (--churn: each
             closes right after being told)
  idle       hold N joined connections; the server's resident memory before and after
  capacity   joined connections from many 127.0.0.x source addresses up to N or the first failure

options (defaults in brackets):
  --host ADDR         server address [127.0.0.1]; loopback only
  --port N            server port
  --server-pid PID    server process whose CPU time and memory are read from /proc
  --port-b N          cross-instance: member B of every pair connects to this port (another instance sharing
                      rooms with the first through Redis); the workload's name gets "-cluster"
  --more-pids P,Q     processes whose CPU time counts as the server's too (the other instance, redis-server)
  --threads N         generator threads, one io_context each [2]
  --pairs N           stream [16], pingpong and latency [64]
  --rate R            latency: round trips per second offered, all pairs together [20000]; stream: frames per
                      second offered, all pairs together (a run below 95 % of it is incomplete) [as fast as W allows]
  --window N          stream: frames in flight per pair [32]
  --frame-bytes N     size of each relayed frame [280]
  --duration S        seconds measured, stream and pingpong [5]
  --warmup S          seconds run before measuring [0.5]
  --clients N         joins [4000], idle [10000], capacity (target) [100000]; rounded down to pairs
  --concurrency N     clients between start and told at once [128; idle and capacity 256]
  --sources N         spread clients over 127.0.0.1 .. 127.0.0.N [joins 16, capacity 250, others 0 = not bound]
  --churn             joins: close each client as soon as it has been told
  --tls               joins, idle, capacity: connect with wss (TLS) instead of ws
  --token T           joins: every join carries the join token T (the server needs the matching "auth")
  --token-alg A       joins: the token's algorithm, named in the workload (joins-token-A)
  --syscalls          stream, pingpong, latency: count the server's system calls in the measured window
                      (perf events on syscall tracepoints; needs --server-pid and root or perf_event_paranoid <= 1)
  --settle S          idle, capacity: seconds before the memory reading [1]
  --timeout S         upper bound of the whole workload [60]
  --stall S           seconds without progress that end a workload [5]
  --room-prefix TEXT  room codes are TEXT-<n> [bench-<pid>-<workload>]
  --json FILE         also append the JSON result line to FILE
  --label NAME        name the server in the result (server_label), for `compare`
)";

[[noreturn]] void fail(const std::string& message) {
    std::cerr << "murva-bench: " << message << "\n";
    std::exit(2);
}

bool isLoopback(const std::string& host) {
    in_addr a{};
    return inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        fail("no free port");
    ::close(fd);
    std::cout << ntohs(addr.sin_port) << "\n";
    return 0;
}

int waitPort(unsigned short port, double timeout) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    do {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (fd >= 0)
            ::close(fd);
        if (ok)
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < until);
    std::cerr << "murva-bench: nothing accepts on 127.0.0.1:" << port << "\n";
    return 1;
}

double toNumber(const std::string& name, const std::string& text) {
    try {
        std::size_t used = 0;
        const double v = std::stod(text, &used);
        if (used == text.size() && v >= 0)
            return v;
    } catch (const std::exception&) {
    }
    fail("bad value for " + name + ": " + text);
}

std::vector<int> pidList(const std::string& text) {
    std::vector<int> pids;
    std::size_t from = 0;
    while (from <= text.size()) {
        const auto comma = std::min(text.find(',', from), text.size());
        pids.push_back(static_cast<int>(toNumber("--more-pids", text.substr(from, comma - from))));
        from = comma + 1;
    }
    return pids;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
        std::cout << usage;
        return argc < 2 ? 2 : 0;
    }
    const std::string command = argv[1];
    if (command == "table") {
        if (argc > 2) {
            std::ifstream in(argv[2]);
            if (!in)
                fail(std::string("cannot read ") + argv[2]);
            bench::printTable(in, std::cout);
        } else {
            bench::printTable(std::cin, std::cout);
        }
        return 0;
    }
    if (command == "compare") {
        if (argc < 3)
            fail("compare needs a FILE of result lines");
        std::ifstream in(argv[2]);
        if (!in)
            fail(std::string("cannot read ") + argv[2]);
        bench::printComparison(in, std::cout, argc > 3 ? argv[3] : "floor");
        return 0;
    }
    if (command == "free-port")
        return freePort();

    bench::Target target;
    bench::Options options;
    std::string jsonFile;
    std::string label;
    std::map<std::string, bool> given;
    double waitTimeout = 5;

    const std::map<std::string, std::function<void(const std::string&)>> valued = {
        {"--host", [&](const std::string& v) { target.host = v; }},
        {"--port", [&](const std::string& v) { target.port = static_cast<unsigned short>(toNumber("--port", v)); }},
        {"--port-b",
         [&](const std::string& v) { target.portB = static_cast<unsigned short>(toNumber("--port-b", v)); }},
        {"--more-pids", [&](const std::string& v) { target.morePids = pidList(v); }},
        {"--server-pid",
         [&](const std::string& v) { target.serverPid = static_cast<int>(toNumber("--server-pid", v)); }},
        {"--threads", [&](const std::string& v) { options.threads = static_cast<unsigned>(toNumber("--threads", v)); }},
        {"--pairs", [&](const std::string& v) { options.pairs = static_cast<std::size_t>(toNumber("--pairs", v)); }},
        {"--window", [&](const std::string& v) { options.window = static_cast<std::size_t>(toNumber("--window", v)); }},
        {"--frame-bytes",
         [&](const std::string& v) { options.frameBytes = static_cast<std::size_t>(toNumber("--frame-bytes", v)); }},
        {"--duration", [&](const std::string& v) { options.duration = toNumber("--duration", v); }},
        {"--warmup", [&](const std::string& v) { options.warmup = toNumber("--warmup", v); }},
        {"--clients",
         [&](const std::string& v) { options.clients = static_cast<std::size_t>(toNumber("--clients", v)); }},
        {"--concurrency",
         [&](const std::string& v) { options.concurrency = static_cast<std::size_t>(toNumber("--concurrency", v)); }},
        {"--sources",
         [&](const std::string& v) { options.sources = static_cast<std::size_t>(toNumber("--sources", v)); }},
        {"--rate", [&](const std::string& v) { options.rate = toNumber("--rate", v); }},
        {"--settle", [&](const std::string& v) { options.settle = toNumber("--settle", v); }},
        {"--timeout", [&](const std::string& v) { options.timeout = waitTimeout = toNumber("--timeout", v); }},
        {"--stall", [&](const std::string& v) { options.stall = toNumber("--stall", v); }},
        {"--room-prefix", [&](const std::string& v) { options.roomPrefix = v; }},
        {"--token", [&](const std::string& v) { options.token = v; }},
        {"--token-alg", [&](const std::string& v) { options.tokenAlg = v; }},
        {"--json", [&](const std::string& v) { jsonFile = v; }},
        {"--label", [&](const std::string& v) { label = v; }},
    };
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--churn" || arg == "--tls" || arg == "--syscalls") {
            (arg == "--churn" ? options.churn : arg == "--tls" ? options.tls : options.syscalls) = true;
            continue;
        }
        auto it = valued.find(arg);
        if (it == valued.end())
            fail("unknown argument " + arg + " (see murva-bench --help)");
        if (i + 1 >= argc)
            fail(arg + " needs a value");
        it->second(argv[++i]);
        given[arg] = true;
    }
    if (target.port == 0)
        fail("--port is required");
    if (command == "wait-port")
        return waitPort(target.port, waitTimeout);
    if (command == "wait-ready") {
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(waitTimeout);
        while (!bench::serverReady(target.port)) {
            if (std::chrono::steady_clock::now() > until) {
                std::cerr << "murva-bench: 127.0.0.1:" << target.port << " is not ready\n";
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return 0;
    }
    if (!isLoopback(target.host))
        fail("--host must be a 127.x.x.x address: the generator only runs over loopback");
    if (options.sources > 250)
        fail("--sources is at most 250");

    if (command == "latency" && !given["--rate"])
        options.rate = 20000;
    if (command == "latency" && options.rate <= 0)
        fail("--rate must be above 0");
    if ((command == "pingpong" || command == "latency") && !given["--pairs"])
        options.pairs = 64;
    if ((command == "idle" || command == "capacity") && !given["--concurrency"])
        options.concurrency = 256;
    if (command == "idle" && !given["--clients"])
        options.clients = 10000;
    // Closed connections stay in TIME_WAIT for a minute, and connect() searches past every one of them for a
    // free port towards the same address: a few runs in a row made that search most of the generator's CPU.
    // Spreading clients over 16 source addresses keeps it short.
    if (command == "joins" && !given["--sources"])
        options.sources = 16;
    if (command == "capacity") {
        if (!given["--clients"])
            options.clients = 100000;
        if (!given["--sources"])
            options.sources = 250;
    }
    if (options.roomPrefix.empty())
        options.roomPrefix = "bench-" + std::to_string(::getpid()) + "-" + command;
    options.threads = std::max(options.threads, 1u);

    bench::raiseOpenFileLimit();
    bench::Json result;
    if (command == "stream")
        result = bench::runStream(target, options);
    else if (command == "pingpong")
        result = bench::runPingPong(target, options);
    else if (command == "latency")
        result = bench::runLatency(target, options);
    else if (command == "joins")
        result = bench::runJoins(target, options);
    else if (command == "idle")
        result = bench::runIdle(target, options);
    else if (command == "capacity")
        result = bench::runCapacity(target, options);
    else
        fail("unknown workload " + command + " (see murva-bench --help)");
    if (!label.empty())
        result["server_label"] = label;

    const std::string line = result.dump();
    std::cout << bench::humanLine(result) << "\n" << line << "\n" << std::flush;
    if (!jsonFile.empty()) {
        std::ofstream out(jsonFile, std::ios::app);
        out << line << "\n";
    }
    return result.value("complete", false) ? 0 : 1;
}
