// murva-soak: the signaling server in this process with its limits opened, and client threads driving a long
// run of connection lifetimes against it over loopback: connect, upgrade, join, relay, leave, in every order,
// with aborts, closes in the middle of a join and closes before joining or before the upgrade. At the end
// every container of the server's state must be empty, every join line must have its leave line, and resident
// memory must not have grown past a few percent (plus a small constant) over what it was after a warm-up.
//
//   murva-soak [--lifetimes N] [--warmup N] [--threads N] [--max-seconds N]
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/server.hpp"
#include "support/raw_socket.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true; // freed memory sits in quarantine: resident size is not the server's
#else
constexpr bool sanitized = false;
#endif

struct Options {
    uint64_t lifetimes = 1'000'000;
    uint64_t warmup = 0; // 0: a tenth of the lifetimes, at most 50,000
    unsigned threads = 6;
    unsigned maxSeconds = 3600;
    double allowedGrowthPercent = 5.0;
    long allowedGrowthKiB = 4096;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr,
                 "murva-soak: %s\nusage: murva-soak [--lifetimes N] [--warmup N] [--threads N] [--max-seconds N]\n",
                 why);
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            usage(("missing value after " + arg).c_str());
        char* end = nullptr;
        const unsigned long long value = std::strtoull(argv[++i], &end, 10);
        if (*end != '\0')
            usage(("not a number: " + std::string(argv[i])).c_str());
        if (arg == "--lifetimes")
            options.lifetimes = value;
        else if (arg == "--warmup")
            options.warmup = value;
        else if (arg == "--threads" && value >= 1 && value <= 64)
            options.threads = static_cast<unsigned>(value);
        else if (arg == "--max-seconds" && value >= 1)
            options.maxSeconds = static_cast<unsigned>(value);
        else
            usage(("unknown option or bad value: " + arg).c_str());
    }
    if (options.warmup == 0)
        options.warmup = std::min<uint64_t>(50'000, std::max<uint64_t>(options.lifetimes / 10, 1));
    return options;
}

long statusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(field.size()));
    return -1;
}

// The server prints its join and leave lines under the state lock; this sink counts them instead of keeping
// them, so a million lifetimes of output cost no memory.
class LineCounter : public std::streambuf {
public:
    std::atomic<uint64_t> joins{0};
    std::atomic<uint64_t> leaves{0};

protected:
    int overflow(int c) override {
        if (c == '\n') {
            column_ = 0;
        } else {
            if (column_ == 1 && c == '+')
                ++joins;
            else if (column_ == 1 && c == '-')
                ++leaves;
            ++column_;
        }
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i)
            overflow(static_cast<unsigned char>(s[i]));
        return n;
    }

private:
    std::size_t column_ = 0;
};

using Sizes = murva::StateSizes;

murva::Server* soaked = nullptr; // the server under test, for the state read-outs

Sizes stateSizes() { return soaked->state().sizes(); }

bool waitForEmptyState(std::chrono::seconds bound) {
    const auto end = Clock::now() + bound;
    while (Clock::now() < end) {
        if (stateSizes() == Sizes{})
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return stateSizes() == Sizes{};
}

// ---------------------------------------------------------------------------------------------------------------
// The lifetimes. Each scenario opens a few connections and leaves none open; what the server must answer is
// checked wherever the order makes it certain.

std::atomic<uint64_t> failures{0};
std::mutex reportMutex;

void fail(const char* scenario, const std::string& what) {
    if (++failures <= 20) {
        std::lock_guard lock(reportMutex);
        std::fprintf(stderr, "[soak] FAIL in %s: %s\n", scenario, what.c_str());
    }
}

std::string joinText(const std::string& room, const std::string& nick) {
    return R"({"type":"join","room":")" + room + R"(","nick":")" + nick + R"("})";
}
std::string joinedText(const std::string& peer) { return R"({"peer":")" + peer + R"(","type":"joined"})"; }
std::string peerJoinedText(const std::string& peer) { return R"({"peer":")" + peer + R"(","type":"peer-joined"})"; }
const std::string peerLeft = R"({"type":"peer-left"})";
const std::string full = R"({"type":"full"})";

// Clients are the tests' raw sockets: they play a well-behaved peer frame by frame, and just as well one that
// resets, drops the connection without a close frame or stops in the middle of its upgrade request.
using testing_support::clientFrame;
using testing_support::RawSocket;
using Conn = std::unique_ptr<RawSocket>;

constexpr auto readBound = 5s;

void sendText(RawSocket& conn, std::string_view text) { conn.sendAll(clientFrame(0x1, text)); }

// A close frame, then everything until the server's close and the end of the connection.
void closeGracefully(Conn& conn) {
    if (conn->sendAll(clientFrame(0x8, "\x03\xE8")))
        conn->waitPeerClosed(readBound);
    conn.reset();
}

class Worker {
public:
    Worker(unsigned id, uint16_t port) : id_(id), port_(port) {}

    // Runs one scenario; returns how many connections it opened.
    unsigned runOne() {
        const uint64_t n = sequence_++;
        room_.assign(1, 's'); // built up in steps: GCC 12 warns falsely (-Wrestrict) on "s" + std::string
        room_ += std::to_string(id_);
        room_ += '-';
        room_ += std::to_string(n);
        try {
            switch ((n + id_) % 10) {
            case 0: return pairGraceful();
            case 1: return pairAbort();
            case 2: return bothVanish();
            case 3: return midJoinAbort();
            case 4: return midJoinClose();
            case 5: return neverJoin();
            case 6: return neverUpgrade();
            case 7: return fullRoom();
            case 8: return junkAndJoin();
            default: return slotReuse();
            }
        } catch (const std::exception& e) {
            fail("setup", e.what());
            return 1;
        }
    }

private:
    Conn open() {
        // Many source addresses (127.0.<thread>.<1..50>): the per-IP counts come and go too.
        options_.sourceAddress = "127.0." + std::to_string(id_ + 1) + "." + std::to_string(1 + sequence_ % 50);
        return std::make_unique<RawSocket>(port_, options_);
    }

    Conn upgraded(const char* scenario) {
        auto conn = open();
        if (!conn->upgrade())
            fail(scenario, "upgrade refused");
        return conn;
    }

    void expect(const char* scenario, RawSocket& conn, const std::string& wanted) {
        const auto got = conn.readText(readBound);
        if (got != wanted)
            fail(scenario, "expected " + wanted + ", got " + got.value_or("<nothing>"));
    }

    // Two members in room_, a joined before b; both have read their join answers.
    std::pair<Conn, Conn> pair(const char* scenario) {
        auto a = upgraded(scenario);
        sendText(*a, joinText(room_, "a"));
        expect(scenario, *a, joinedText(""));
        auto b = upgraded(scenario);
        sendText(*b, joinText(room_, "b"));
        expect(scenario, *b, joinedText("a"));
        expect(scenario, *a, peerJoinedText("b"));
        return {std::move(a), std::move(b)};
    }

    unsigned pairGraceful() {
        const char* s = "pair-graceful";
        auto [a, b] = pair(s);
        const std::string offer = R"({"type":"offer","sdp":"v=0\r\no=- )" + room_ + R"(\r\n"})";
        const std::string answer = R"({"type":"answer","sdp":"v=0\r\n"})";
        sendText(*a, offer);
        expect(s, *b, offer);
        sendText(*b, answer);
        expect(s, *a, answer);
        for (int k = 0; k < 3; ++k) {
            const std::string candidate =
                R"({"type":"candidate","candidate":"candidate:)" + std::to_string(k) + R"("})";
            sendText(*a, candidate);
            expect(s, *b, candidate);
        }
        closeGracefully(a);
        expect(s, *b, peerLeft);
        closeGracefully(b);
        return 2;
    }

    unsigned pairAbort() {
        const char* s = "pair-abort";
        auto [a, b] = pair(s);
        const std::string candidate = R"({"type":"candidate","candidate":"x"})";
        sendText(*a, candidate);
        expect(s, *b, candidate);
        a->resetAbruptly();
        expect(s, *b, peerLeft);
        b->resetAbruptly();
        return 2;
    }

    // Both vanish at once with a relay still in flight.
    unsigned bothVanish() {
        auto [a, b] = pair("both-vanish");
        sendText(*b, R"({"type":"answer","sdp":"v=0"})");
        a->resetAbruptly();
        b->resetAbruptly();
        return 2;
    }

    // b's connection breaks right behind its join: the join may or may not have been handled.
    unsigned midJoinAbort() {
        const char* s = "mid-join-abort";
        auto a = upgraded(s);
        sendText(*a, joinText(room_, "a"));
        expect(s, *a, joinedText(""));
        auto b = upgraded(s);
        sendText(*b, joinText(room_, "b"));
        b->resetAbruptly();
        sendText(*a, R"({"type":"offer","sdp":"v=0"})");
        a.reset();
        return 2;
    }

    // b closes properly right behind its join, without waiting for the answer.
    unsigned midJoinClose() {
        const char* s = "mid-join-close";
        auto a = upgraded(s);
        sendText(*a, joinText(room_, "a"));
        expect(s, *a, joinedText(""));
        auto b = upgraded(s);
        sendText(*b, joinText(room_, "b"));
        b->sendAll(clientFrame(0x8, "\x03\xE8"));
        b.reset(); // FIN right behind the close frame
        closeGracefully(a);
        return 2;
    }

    unsigned neverJoin() {
        const char* s = "never-join";
        auto a = upgraded(s);
        closeGracefully(a);
        auto b = upgraded(s);
        b->resetAbruptly();
        return 2;
    }

    // Connections that end before the upgrade is through: half a request then a reset, and nothing at all.
    unsigned neverUpgrade() {
        auto a = open();
        a->sendAll("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: web");
        a->resetAbruptly();
        auto b = open();
        b.reset();
        return 2;
    }

    unsigned fullRoom() {
        const char* s = "full-room";
        auto [a, b] = pair(s);
        auto c = upgraded(s);
        sendText(*c, joinText(room_, "c"));
        expect(s, *c, full);
        closeGracefully(c);
        const std::string offer = R"({"type":"offer","sdp":"v=0"})";
        sendText(*a, offer);
        expect(s, *b, offer);
        a->resetAbruptly();
        expect(s, *b, peerLeft);
        b.reset();
        return 3;
    }

    // Frames that mean nothing, before and after joining, are dropped and change nothing.
    unsigned junkAndJoin() {
        const char* s = "junk";
        auto a = upgraded(s);
        sendText(*a, "not json");
        a->sendAll(clientFrame(0x2, std::string("\x00\x01\x02", 3)));
        sendText(*a, R"({"type":"join","room":7})");
        sendText(*a, joinText(room_, "a"));
        expect(s, *a, joinedText(""));
        auto b = upgraded(s);
        sendText(*b, joinText(room_, "b"));
        expect(s, *b, joinedText("a"));
        expect(s, *a, peerJoinedText("b"));
        sendText(*a, "{\"type\":");
        a->sendAll(clientFrame(0x2, "binary"));
        const std::string candidate = R"({"type":"candidate","candidate":"after junk"})";
        sendText(*a, candidate);
        expect(s, *b, candidate);
        closeGracefully(a);
        expect(s, *b, peerLeft);
        b->resetAbruptly();
        return 2;
    }

    // A slot given back by a reset is taken by a newcomer, who meets the member left behind.
    unsigned slotReuse() {
        const char* s = "slot-reuse";
        auto [a, b] = pair(s);
        b->resetAbruptly();
        expect(s, *a, peerLeft);
        auto c = upgraded(s);
        sendText(*c, joinText(room_, "c"));
        expect(s, *c, joinedText("a"));
        expect(s, *a, peerJoinedText("c"));
        const std::string answer = R"({"type":"answer","sdp":"v=1"})";
        sendText(*c, answer);
        expect(s, *a, answer);
        closeGracefully(a);
        expect(s, *c, peerLeft);
        c->resetAbruptly();
        return 3;
    }

    unsigned id_;
    uint16_t port_;
    testing_support::RawSocketOptions options_;
    uint64_t sequence_ = 0;
    std::string room_;
};

// Runs scenarios on `threads` threads until `lifetimes` connections have been opened; prints progress.
bool drive(const char* phase, uint16_t port, const Options& options, uint64_t lifetimes, LineCounter& lines,
           Clock::time_point deadline, uint64_t& opened) {
    std::atomic<uint64_t> done{0};
    std::atomic<bool> timedOut{false};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < options.threads; ++t)
        threads.emplace_back([&, t] {
            Worker worker(t, port);
            // The total overshoots by at most one scenario per thread.
            while (done < lifetimes) {
                if (Clock::now() > deadline) {
                    timedOut = true;
                    break;
                }
                done += worker.runOne();
            }
        });

    const auto start = Clock::now();
    auto lastReport = start;
    uint64_t lastDone = 0;
    std::atomic<bool> finished{false};
    std::thread reporter([&] {
        while (!finished) {
            std::this_thread::sleep_for(100ms);
            const auto now = Clock::now();
            if (now - lastReport < 10s)
                continue;
            const uint64_t d = done;
            const double rate = (d - lastDone) / std::chrono::duration<double>(now - lastReport).count();
            const Sizes sizes = stateSizes();
            std::printf("[soak] %s: %llu/%llu lifetimes (%.1f%%), %.0f/s, state clients=%zu rooms=%zu ips=%zu, "
                        "resident %ld KiB, failures %llu\n",
                        phase, static_cast<unsigned long long>(d), static_cast<unsigned long long>(lifetimes),
                        100.0 * d / lifetimes, rate, sizes.clients, sizes.rooms, sizes.ips, statusKiB("VmRSS:"),
                        static_cast<unsigned long long>(failures.load()));
            std::fflush(stdout);
            lastReport = now;
            lastDone = d;
        }
    });
    for (auto& t : threads)
        t.join();
    finished = true;
    reporter.join();

    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    opened = done;
    std::printf("[soak] %s: %llu lifetimes in %.1f s (%.0f/s); join lines so far %llu, leave lines %llu\n", phase,
                static_cast<unsigned long long>(done.load()), seconds, done / seconds,
                static_cast<unsigned long long>(lines.joins.load()),
                static_cast<unsigned long long>(lines.leaves.load()));
    std::fflush(stdout);
    if (timedOut)
        std::fprintf(stderr, "[soak] %s stopped at the time limit of %u s\n", phase, options.maxSeconds);
    return !timedOut && done >= lifetimes;
}

// After a phase: nothing of the server's state is left once every client is gone, and every join line has
// been matched by its leave line.
bool settled(const char* phase, LineCounter& lines) {
    const bool empty = waitForEmptyState(30s);
    const Sizes sizes = stateSizes();
    const bool balanced = lines.joins == lines.leaves;
    std::printf("[soak] after %s: clients=%zu rooms=%zu ips=%zu (%s); joins %s leaves\n", phase, sizes.clients,
                sizes.rooms, sizes.ips, empty ? "empty" : "NOT EMPTY", balanced ? "==" : "!=");
    std::fflush(stdout);
    return empty && balanced;
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    const auto deadline = Clock::now() + std::chrono::seconds(options.maxSeconds);

    murva::ServerSettings settings;
    settings.maxConnections = 0;
    settings.maxConnectionsPerIp = 0;
    settings.maxRooms = 0;

    LineCounter lines;
    std::streambuf* savedCout = std::cout.rdbuf(&lines);
    rtc::WebSocketServerConfiguration config;
    config.port = 0;
    config.bindAddress = "127.0.0.1";
    config.maxMessageSize = settings.maxMessageSize;
    auto server = std::make_unique<murva::Server>(settings, config);
    soaked = server.get();
    std::printf("[soak] server on 127.0.0.1:%u, %u client threads, warm-up %llu lifetimes, then %llu%s\n",
                server->port(), options.threads, static_cast<unsigned long long>(options.warmup),
                static_cast<unsigned long long>(options.lifetimes), sanitized ? " (sanitizer build)" : "");
    std::fflush(stdout);

    uint64_t warmed = 0, soaked = 0;
    bool ok = drive("warm-up", server->port(), options, options.warmup, lines, deadline, warmed);
    ok = settled("warm-up", lines) && ok;
    const long rssWarm = statusKiB("VmRSS:");

    const auto start = Clock::now();
    ok = drive("soak", server->port(), options, options.lifetimes, lines, deadline, soaked) && ok;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ok = settled("soak", lines) && ok;
    const long rssEnd = statusKiB("VmRSS:");

    const long allowed = static_cast<long>(rssWarm * options.allowedGrowthPercent / 100.0) + options.allowedGrowthKiB;
    const bool memoryOk = sanitized || rssEnd - rssWarm <= allowed;
    std::printf("[soak] resident memory after warm-up %ld KiB, after the soak %ld KiB (%+ld KiB, %+.2f%%; allowed "
                "%+ld KiB)%s\n",
                rssWarm, rssEnd, rssEnd - rssWarm, 100.0 * (rssEnd - rssWarm) / rssWarm, allowed,
                sanitized ? " - not judged under a sanitizer" : "");

    server->transport().stop();
    murva::flushConsoleLines();
    std::cout.rdbuf(savedCout);
    const bool emptyAfterStop = stateSizes() == Sizes{};
    server.reset();
    ok = ok && memoryOk && emptyAfterStop && failures == 0;
    std::printf("[soak] %s: %llu lifetimes in %.1f s, %llu failures, state %s after stop\n", ok ? "PASSED" : "FAILED",
                static_cast<unsigned long long>(soaked), seconds, static_cast<unsigned long long>(failures.load()),
                emptyAfterStop ? "empty" : "NOT EMPTY");
    return ok ? 0 : 1;
}
