// The closed-loop workloads: stream, pingpong, joins, idle and capacity.
#include "workloads.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

#include <boost/asio/steady_timer.hpp>

#include "client.hpp"
#include "common.hpp"
#include "latency.hpp"
#include "probe.hpp"
#include "syscalls.hpp"

namespace bench {
namespace {

// A paced stream's sends go out at most this late: what falls due within it is sent in one wake-up.
constexpr auto pacingStep = std::chrono::microseconds(100);

// ---------------------------------------------------------------------------------------------------------
// stream and pingpong: P pairs, each alone in its room. A joins first, then B; once both have been told of
// each other the pair runs: in stream A keeps `window` frames in flight towards B, in pingpong one frame
// bounces A -> B -> A. A stream with a rate sends on a clock instead (as the latency workload does): pair i's n-th
// frame is due at start + (n x pairs + i) / rate, and the window still bounds what is in flight, so a pair whose
// window is full owes its due frames and sends them as soon as B has read enough.

class PairRun final : public ClientEvents {
public:
    enum class Mode { Stream, PingPong };

    PairRun(const Target& target, const Options& options, Mode mode)
        : engine_(options.threads), options_(options), mode_(mode), paced_(mode == Mode::Stream && options.rate > 0),
          server_{endpointOf(target, 0), endpointOf(target, 1)}, host_{hostHeader(target, 0), hostHeader(target, 1)},
          frame_(candidateFrame(options.frameBytes)), pairs_(options.pairs), counters_(engine_.threads()) {
        for (std::size_t i = 0; i < pairs_.size(); ++i) {
            const std::string room = options.roomPrefix + "-" + std::to_string(i);
            pairs_[i].joinA = joinText(room, "a");
            pairs_[i].joinB = joinText(room, "b");
            counters_[threadOf(i)].pairs.push_back(i);
        }
        for (unsigned t = 0; t < engine_.threads(); ++t)
            counters_[t].timer.emplace(engine_.context(t));
    }

    void launch() {
        for (std::size_t i = 0; i < pairs_.size(); ++i)
            engine_.post(threadOf(i), [this, i] { startClient(i, 0); });
    }

    // A stream with a rate: starts the clock, every pair ready. Frames are due from `start` on until stop().
    void offer(Clock::time_point start) {
        for (unsigned t = 0; t < engine_.threads(); ++t)
            engine_.post(t, [this, t, start] {
                auto& th = counters_[t];
                for (const std::size_t pair : th.pairs)
                    th.schedules.emplace_back(start, options_.rate, static_cast<unsigned>(pairs_.size()),
                                              static_cast<unsigned>(pair));
                if (!th.pairs.empty())
                    tick(th);
            });
    }

    void setMeasuring(bool on) { measuring_.store(on, std::memory_order_relaxed); }
    std::size_t ready() const { return ready_.load(); }
    const Failures& failures() const { return failures_; }

    uint64_t frames() const {
        uint64_t sum = 0;
        for (const auto& c : counters_)
            sum += c.frames.load(std::memory_order_relaxed);
        return sum;
    }
    uint64_t bytes() const {
        uint64_t sum = 0;
        for (const auto& c : counters_)
            sum += c.bytes.load(std::memory_order_relaxed);
        return sum;
    }

    // Ends every connection and stops the threads; after this the samples can be read.
    void stop() {
        stopping_.store(true);
        for (unsigned t = 0; t < engine_.threads(); ++t)
            engine_.post(t, [this, t] { counters_[t].timer->cancel(); });
        abortAllAndStop(engine_, pairs_, failures_);
    }

    std::vector<uint64_t> samples() {
        std::vector<uint64_t> all;
        for (auto& c : counters_)
            all.insert(all.end(), c.samples.begin(), c.samples.end());
        return all;
    }

private:
    struct Pair {
        std::shared_ptr<Client> a, b;
        std::string joinA, joinB;
        bool aTold = false, bTold = false, running = false;
        uint64_t sent = 0, received = 0;
        uint64_t owed = 0; // paced stream: frames due that the full window held back
        Clock::time_point pingAt;
    };

    struct alignas(64) Counters {
        std::atomic<uint64_t> frames{0}; // stream: frames B received; pingpong: round trips
        std::atomic<uint64_t> bytes{0};
        std::vector<uint64_t> samples; // pingpong round trips while measuring, nanoseconds
        // Paced stream: this thread's pairs, each one's clock, and the thread's next due frame over all of them
        // (frame n is pair n % size's frame n / size: in time order, since lanes interleave by pair index).
        std::vector<std::size_t> pairs;
        std::vector<OpenLoopSchedule> schedules;
        std::optional<net::steady_timer> timer;
        uint64_t next = 0;
    };

    unsigned threadOf(std::size_t pair) const { return static_cast<unsigned>(pair % engine_.threads()); }

    void startClient(std::size_t pair, int side) {
        auto client = std::make_shared<Client>(engine_.context(threadOf(pair)), *this, pair * 2 + side);
        (side == 0 ? pairs_[pair].a : pairs_[pair].b) = client;
        client->connect(server_[side], std::nullopt, host_[side]);
    }

    void opened(Client& c) override {
        auto& p = pairs_[c.id / 2];
        c.send(c.id % 2 == 0 ? p.joinA : p.joinB);
    }

    void text(Client& c, std::string_view m) override {
        const std::size_t index = c.id / 2;
        auto& p = pairs_[index];
        const bool isA = c.id % 2 == 0;
        if (!p.running) {
            switch (pairSetupReply(isA, m, p.aTold, p.bTold)) {
            case PairSetup::StartB: return startClient(index, 1);
            case PairSetup::Unexpected: return failures_.note("unexpected reply during set-up: " + std::string(m));
            case PairSetup::Ready: run(p); break;
            case PairSetup::Waiting: break;
            }
            return;
        }
        auto& counters = counters_[threadOf(index)];
        if (mode_ == Mode::Stream) {
            if (isA)
                return; // the sender hears nothing while running
            ++p.received;
            bump(counters.frames);
            bump(counters.bytes, m.size());
            pump(p);
        } else if (!isA) {
            p.b->send(frame_);
        } else {
            const auto now = Clock::now();
            if (measuring_.load(std::memory_order_relaxed))
                counters.samples.push_back(static_cast<uint64_t>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(now - p.pingAt).count()));
            bump(counters.frames);
            bump(counters.bytes, m.size());
            p.pingAt = Clock::now();
            p.a->send(frame_);
        }
    }

    void failed(Client&, const char* stage, const beast::error_code& ec) override {
        failures_.note(describeFailure(stage, ec));
    }

    void run(Pair& p) {
        p.running = true;
        ready_.fetch_add(1);
        if (mode_ == Mode::Stream)
            return pump(p);
        p.pingAt = Clock::now();
        p.a->send(frame_);
    }

    void pump(Pair& p) {
        while (p.sent - p.received < options_.window && (!paced_ || p.owed > 0)) {
            p.a->send(frame_);
            ++p.sent;
            if (paced_)
                --p.owed;
        }
    }

    // Makes every frame due by now owed and sends what the windows allow, then sleeps until the next is due, but
    // for at least `pacingStep`: waking for every frame (every 13 us per thread at 150k frames/s) cost the
    // generator more than the server it measures. A late wake-up catches up in slices, so that replies are read
    // between them even when the generator lags.
    void tick(Counters& th) {
        if (stopping_.load(std::memory_order_relaxed))
            return;
        const auto now = Clock::now();
        const std::size_t size = th.pairs.size();
        for (int slice = 0; slice < 256; ++slice, ++th.next) {
            const auto due = th.schedules[th.next % size].at(th.next / size);
            if (due > now) {
                th.timer->expires_at(std::max(due, now + pacingStep));
                th.timer->async_wait([this, &th](const beast::error_code& ec) {
                    if (!ec)
                        tick(th);
                });
                return;
            }
            auto& p = pairs_[th.pairs[th.next % size]];
            ++p.owed;
            pump(p);
        }
        net::post(th.timer->get_executor(), [this, &th] { tick(th); });
    }

    Engine engine_; // first: its threads stop before anything they use is destroyed
    const Options options_;
    const Mode mode_;
    const bool paced_;
    const tcp::endpoint server_[2]; // A's and B's
    const std::string host_[2];
    const std::string frame_;
    std::vector<Pair> pairs_;
    std::vector<Counters> counters_;
    std::atomic<std::size_t> ready_{0};
    std::atomic<bool> measuring_{false};
    std::atomic<bool> stopping_{false};
    Failures failures_;
};

Json runPairs(const Target& target, const Options& options, PairRun::Mode mode) {
    const bool stream = mode == PairRun::Mode::Stream;
    PairRun run(target, options, mode);
    Json out;
    out["workload"] = workloadName(stream ? "stream" : "pingpong", target);
    out["pairs"] = options.pairs;
    if (stream)
        out["window"] = options.window;
    if (stream && options.rate > 0)
        out["offered_per_s"] = options.rate;
    out["frame_bytes"] = options.frameBytes;
    out["threads"] = options.threads;

    run.launch();
    const std::string setup = waitUntil([&] { return run.ready() == options.pairs || run.failures().count() > 0; },
                                        [&] { return run.ready(); }, options.timeout, options.stall);
    std::string stopReason = setup;
    if (setup.empty() && run.failures().count() > 0)
        stopReason = "failure during set-up";
    Snapshot from, to;
    uint64_t frames0 = 0, frames1 = 0, bytes0 = 0, bytes1 = 0;
    std::optional<SyscallCounter> syscalls;
    if (options.syscalls && target.serverPid > 0)
        syscalls.emplace(target.serverPid);
    if (stopReason.empty()) {
        if (stream && options.rate > 0)
            run.offer(Clock::now());
        sleepSeconds(options.warmup);
        if (syscalls)
            syscalls->start();
        from = takeSnapshot(target.serverPid, target.morePids);
        frames0 = run.frames();
        bytes0 = run.bytes();
        run.setMeasuring(true);
        sleepSeconds(options.duration);
        run.setMeasuring(false);
        frames1 = run.frames();
        bytes1 = run.bytes();
        to = takeSnapshot(target.serverPid, target.morePids);
        if (syscalls)
            syscalls->stop();
    } else {
        from = to = takeSnapshot(target.serverPid, target.morePids);
    }
    run.stop();

    const CpuUse use = cpuBetween(from, to);
    const uint64_t frames = frames1 - frames0;
    const double wall = std::max(use.wall, 1e-9);
    if (stream) {
        out["frames"] = frames;
        out["frames_per_s"] = static_cast<double>(frames) / wall;
        out["bytes_per_s"] = static_cast<double>(bytes1 - bytes0) / wall;
        addCpu(out, use, frames, "frame");
    } else {
        auto samples = run.samples();
        out["round_trips"] = frames;
        out["round_trips_per_s"] = static_cast<double>(frames) / wall;
        out["rtt_us"] = percentileJson(percentilesOf(samples));
        // Each round trip is two relayed frames; the cost is given per relayed frame, as for stream.
        addCpu(out, use, frames * 2, "frame");
    }
    if (syscalls)
        addSyscalls(out, *syscalls, stream ? frames : frames * 2);
    // An offered rate the run fell short of is no figure at that rate: the CPU per frame would be taken at
    // another load than the one named.
    if (stream && options.rate > 0 && stopReason.empty() && frames / wall < 0.95 * options.rate) {
        char shortfall[96];
        std::snprintf(shortfall, sizeof shortfall, "below the offered rate: %.0f of %.0f frames/s", frames / wall,
                      options.rate);
        stopReason = shortfall;
    }
    out["failures"] = run.failures().count();
    out["first_failure"] = run.failures().first();
    out["complete"] = stopReason.empty() && run.failures().count() == 0;
    out["stop_reason"] = stopReason.empty() ? "duration" : stopReason;
    return out;
}

// ---------------------------------------------------------------------------------------------------------
// joins, idle and capacity: clients come in pairs that share a room; both connect at once, both join, and the
// pair is done when each has been told of the other ("joined" naming the peer, or "peer-joined"). At most
// `concurrency` clients are between their start and that point.

struct JoinPlan {
    std::size_t clients = 0;
    bool churn = false;         // close each client as soon as it has been told
    bool stopOnFailure = false; // capacity: the first failure ends the ramp
};

class JoinRun final : public ClientEvents {
public:
    JoinRun(const Target& target, const Options& options, const JoinPlan& plan)
        : engine_(options.threads), tls_(options.tls ? makeTlsContext() : nullptr), options_(options),
          plan_(plan), server_{endpointOf(target, 0), endpointOf(target, 1)}, host_{hostHeader(target, 0),
                                                                                    hostHeader(target, 1)},
          pairs_(plan.clients / 2), threads_(engine_.threads()) {
        const std::size_t perThread =
            std::max<std::size_t>(1, options.concurrency / 2 / engine_.threads()); // pairs at once per thread
        for (auto& t : threads_)
            t.limit = perThread;
        for (std::size_t i = 0; i < pairs_.size(); ++i)
            threads_[threadOf(i)].todo.push_back(i);
        for (std::size_t s = 0; s < options.sources; ++s)
            sources_.push_back(net::ip::make_address_v4(0x7F000001u + static_cast<unsigned>(s)));
    }

    void launch() {
        for (unsigned t = 0; t < engine_.threads(); ++t)
            engine_.post(t, [this, t] { launchMore(threads_[t]); });
    }

    std::size_t pairs() const { return pairs_.size(); }
    uint64_t told() const { return sum(&PerThread::told); }
    uint64_t pairsFinished() const { return sum(&PerThread::pairsDone) + sum(&PerThread::pairsFailed); }
    uint64_t closed() const { return sum(&PerThread::closed); }
    const Failures& failures() const { return failures_; }
    uint64_t outOfOrder() const { return sum(&PerThread::outOfOrder); }
    std::string firstOutOfOrder() const { return orderNote_.first(); }

    void stop() {
        stopping_.store(true);
        abortAllAndStop(engine_, pairs_, failures_);
    }

    std::vector<uint64_t> latencies() {
        std::vector<uint64_t> all;
        for (auto& t : threads_)
            all.insert(all.end(), t.latencies.begin(), t.latencies.end());
        return all;
    }

private:
    struct Pair {
        std::shared_ptr<Client> a, b;
        Clock::time_point start;
        std::string join[2]; // written when the pair starts; a frame must outlive its write
        bool joined[2] = {false, false};
        bool told[2] = {false, false};
        bool finished = false;
    };

    struct alignas(64) PerThread {
        std::vector<std::size_t> todo;
        std::size_t next = 0;
        std::size_t inFlight = 0;
        std::size_t limit = 1;
        std::vector<uint64_t> latencies; // per pair, start to both told, nanoseconds
        std::atomic<uint64_t> told{0};
        std::atomic<uint64_t> pairsDone{0};
        std::atomic<uint64_t> pairsFailed{0};
        std::atomic<uint64_t> closed{0};
        std::atomic<uint64_t> outOfOrder{0};
    };

    uint64_t sum(std::atomic<uint64_t> PerThread::*field) const {
        uint64_t total = 0;
        for (const auto& t : threads_)
            total += (t.*field).load(std::memory_order_relaxed);
        return total;
    }

    unsigned threadOf(std::size_t pair) const { return static_cast<unsigned>(pair % engine_.threads()); }

    void launchMore(PerThread& t) {
        while (t.inFlight < t.limit && t.next < t.todo.size() && !stopping_.load(std::memory_order_relaxed))
            startPair(t, t.todo[t.next++]);
    }

    void startPair(PerThread& t, std::size_t index) {
        auto& p = pairs_[index];
        ++t.inFlight;
        const std::string room = options_.roomPrefix + "-" + std::to_string(index);
        p.join[0] = joinText(room, "a", options_.token);
        p.join[1] = joinText(room, "b", options_.token);
        p.start = Clock::now();
        auto& ioc = engine_.context(threadOf(index));
        p.a = std::make_shared<Client>(ioc, *this, index * 2, tls_.get());
        p.b = std::make_shared<Client>(ioc, *this, index * 2 + 1, tls_.get());
        for (auto* c : {p.a.get(), p.b.get()}) {
            std::optional<net::ip::address> source;
            if (!sources_.empty())
                source = sources_[c->id % sources_.size()];
            c->connect(server_[c->id % 2], source, host_[c->id % 2]);
        }
    }

    void opened(Client& c) override { c.send(pairs_[c.id / 2].join[c.id % 2]); }

    void text(Client& c, std::string_view m) override {
        const std::size_t index = c.id / 2;
        auto& p = pairs_[index];
        const int side = static_cast<int>(c.id % 2);
        auto& t = threads_[threadOf(index)];
        const bool peerJoined = isPeerJoined(m), joined = isJoined(m);
        // Each client's first message must be its own "joined", and "peer-left" can only follow being told:
        // the server sends those in that order. Anything else arrived out of order; the run goes on.
        if ((peerJoined && !p.joined[side]) || (has(m, "\"type\":\"peer-left\"") && !p.told[side])) {
            bump(t.outOfOrder);
            orderNote_.note("client " + std::to_string(c.id) + " got " + std::string(m) + " before " +
                            (p.joined[side] ? "being told of its peer" : "its own \"joined\""));
        }
        if (joined)
            p.joined[side] = true;
        if (p.told[side] || p.finished)
            return;
        if (peerJoined || (joined && !isJoinedAlone(m))) {
            p.told[side] = true;
            bump(t.told);
            if (plan_.churn)
                c.close();
            if (p.told[0] && p.told[1]) {
                t.latencies.push_back(static_cast<uint64_t>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - p.start).count()));
                finish(index, true);
            }
            return;
        }
        if (joined || has(m, "\"type\":\"peer-left\""))
            return; // alone so far: "peer-joined" follows
        failures_.note("refused: " + std::string(m));
        finish(index, false);
    }

    void failed(Client& c, const char* stage, const beast::error_code& ec) override {
        if (stopping_.load(std::memory_order_relaxed))
            return;
        failures_.note(describeFailure(stage, ec));
        if (!pairs_[c.id / 2].finished)
            finish(c.id / 2, false);
    }

    void closed(Client& c) override { bump(threads_[threadOf(c.id / 2)].closed); }

    void finish(std::size_t index, bool ok) {
        auto& p = pairs_[index];
        p.finished = true;
        auto& t = threads_[threadOf(index)];
        --t.inFlight;
        bump(ok ? t.pairsDone : t.pairsFailed);
        if (!ok && plan_.stopOnFailure)
            stopping_.store(true);
        launchMore(t);
    }

    Engine engine_;                     // first: its threads stop before anything they use is destroyed
    std::unique_ptr<ssl::context> tls_; // before the pairs: their streams use it until destroyed
    const Options options_;
    const JoinPlan plan_;
    const tcp::endpoint server_[2]; // A's and B's
    const std::string host_[2];
    std::vector<net::ip::address> sources_;
    std::vector<Pair> pairs_;
    std::vector<PerThread> threads_;
    std::atomic<bool> stopping_{false};
    Failures failures_;
    Failures orderNote_;
};

void addOrder(Json& out, const JoinRun& run) {
    out["out_of_order"] = run.outOfOrder();
    out["first_out_of_order"] = run.firstOutOfOrder();
}

} // namespace

std::string candidateFrame(std::size_t bytes) {
    const std::string head =
        R"({"type":"candidate","candidate":"candidate:1467250027 1 udp 1686052607 198.51.100.23 46243 typ srflx )"
        R"(raddr 192.168.1.23 rport 46243 generation 0 ufrag EsAw network-id 1 network-cost 10","sdpMid":"0",)"
        R"("sdpMLineIndex":0,"usernameFragment":"EsAw","pad":")";
    const std::string tail = R"("})";
    const std::size_t fixed = head.size() + tail.size();
    return head + std::string(bytes > fixed ? bytes - fixed : 0, 'x') + tail;
}

Json runStream(const Target& target, const Options& options) {
    return runPairs(target, options, PairRun::Mode::Stream);
}

Json runPingPong(const Target& target, const Options& options) {
    return runPairs(target, options, PairRun::Mode::PingPong);
}

} // namespace bench

namespace bench {
namespace {

Json joinHeader(std::string workload, const Target& target, const Options& options) {
    Json out;
    if (!options.token.empty())
        workload += "-token-" + options.tokenAlg;
    out["workload"] = workloadName(options.tls ? workload + "-tls" : workload, target);
    out["clients"] = options.clients;
    out["concurrency"] = options.concurrency;
    out["threads"] = options.threads;
    if (options.sources > 0)
        out["sources"] = options.sources;
    return out;
}

std::string stopReasonOf(const std::string& waited, const Failures& failures) {
    if (!waited.empty())
        return waited;
    if (failures.count() > 0)
        return "failure: " + failures.first();
    return "done";
}

} // namespace

Json runJoins(const Target& target, const Options& options) {
    const JoinPlan plan{options.clients, options.churn, false};
    JoinRun run(target, options, plan);
    Json out = joinHeader(options.churn ? "joins-churn" : "joins", target, options);

    const Snapshot from = takeSnapshot(target.serverPid, target.morePids);
    run.launch();
    // With churn the run ends when every told client has also finished its close handshake, so the
    // server's close handling is part of the cost per join.
    const std::string waited =
        waitUntil([&] { return run.pairsFinished() == run.pairs() && (!plan.churn || run.closed() >= run.told()); },
                  [&] { return run.told() + run.closed() + run.failures().count(); }, options.timeout, options.stall);
    const Snapshot to = takeSnapshot(target.serverPid, target.morePids);
    run.stop();

    const CpuUse use = cpuBetween(from, to);
    auto latencies = run.latencies();
    const uint64_t joins = run.told();
    out["joins"] = joins;
    out["joins_per_s"] = static_cast<double>(joins) / std::max(use.wall, 1e-9);
    out["latency_us"] = percentileJson(percentilesOf(latencies));
    addCpu(out, use, joins, "join");
    out["failures"] = run.failures().count();
    out["first_failure"] = run.failures().first();
    addOrder(out, run);
    out["complete"] = waited.empty() && joins == plan.clients / 2 * 2 && run.failures().count() == 0;
    out["stop_reason"] = stopReasonOf(waited, run.failures());
    return out;
}

Json runIdle(const Target& target, const Options& options) {
    const JoinPlan plan{options.clients, false, false};
    JoinRun run(target, options, plan);
    Json out = joinHeader("idle", target, options);

    const long long before = residentBytes(target.serverPid);
    const Snapshot from = takeSnapshot(target.serverPid, target.morePids);
    run.launch();
    const std::string waited =
        waitUntil([&] { return run.pairsFinished() == run.pairs(); },
                  [&] { return run.told() + run.failures().count(); }, options.timeout, options.stall);
    const Snapshot to = takeSnapshot(target.serverPid, target.morePids);
    sleepSeconds(options.settle);
    const long long after = residentBytes(target.serverPid);
    const uint64_t held = run.told();
    run.stop();

    out["connections"] = held;
    out["rss_before_bytes"] = before;
    out["rss_after_bytes"] = after;
    if (before >= 0 && after >= 0 && held > 0)
        out["bytes_per_connection"] = static_cast<double>(after - before) / static_cast<double>(held);
    else
        out["bytes_per_connection"] = nullptr;
    addCpu(out, cpuBetween(from, to), held, "join");
    out["failures"] = run.failures().count();
    out["first_failure"] = run.failures().first();
    addOrder(out, run);
    out["complete"] = waited.empty() && held == plan.clients / 2 * 2 && run.failures().count() == 0;
    out["stop_reason"] = stopReasonOf(waited, run.failures());
    return out;
}

Json runCapacity(const Target& target, const Options& options) {
    const JoinPlan plan{options.clients, false, true};
    JoinRun run(target, options, plan);
    Json out = joinHeader("capacity", target, options);
    out["target"] = plan.clients / 2 * 2;
    out["generator_fd_limit"] = raiseOpenFileLimit();

    const long long before = residentBytes(target.serverPid);
    const Snapshot from = takeSnapshot(target.serverPid, target.morePids);
    run.launch();
    const std::string waited =
        waitUntil([&] { return run.pairsFinished() == run.pairs() || run.failures().count() > 0; },
                  [&] { return run.told() + run.failures().count(); }, options.timeout, options.stall);
    const uint64_t reached = run.told();
    const Snapshot to = takeSnapshot(target.serverPid, target.morePids);
    sleepSeconds(options.settle);
    const long long after = residentBytes(target.serverPid);
    run.stop();

    std::string reason = stopReasonOf(waited, run.failures());
    out["reached"] = reached;
    out["stop_reason"] = reason == "done" ? "target" : reason;
    out["rss_before_bytes"] = before;
    out["rss_after_bytes"] = after;
    if (before >= 0 && after >= 0 && reached > 0)
        out["bytes_per_connection"] = static_cast<double>(after - before) / static_cast<double>(reached);
    else
        out["bytes_per_connection"] = nullptr;
    addCpu(out, cpuBetween(from, to), reached, "join");
    out["failures"] = run.failures().count();
    out["first_failure"] = run.failures().first();
    addOrder(out, run);
    out["complete"] = reached == plan.clients / 2 * 2;
    return out;
}

} // namespace bench
