// The latency workload: round trips A -> B -> A offered at a fixed rate on a clock (open loop), each one's latency
// measured from when it was due, so that a slow server or a late generator shows in the figures instead of
// slowing the offered load down.
#include "latency.hpp"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <deque>
#include <thread>

#include <boost/asio/steady_timer.hpp>

#include "client.hpp"
#include "common.hpp"
#include "syscalls.hpp"
#include "workloads.hpp"

namespace bench {
namespace {

constexpr std::string_view padKey = R"("pad":")";
constexpr std::size_t sequenceDigits = 16;

} // namespace

OpenLoopSchedule::OpenLoopSchedule(Clock::time_point start, double rate, unsigned lanes, unsigned lane)
    : start_(start), rate_(rate), lanes_(std::max(lanes, 1u)), lane_(lane) {}

Clock::time_point OpenLoopSchedule::at(uint64_t n) const {
    // From the start each time, so that rounding never accumulates over a run.
    const double seconds = (static_cast<double>(n) * lanes_ + lane_) / rate_;
    return start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::string numberedFrame(std::size_t bytes) {
    std::string frame = candidateFrame(bytes);
    const auto at = frame.find(padKey);
    const std::size_t room = frame.size() - (at + padKey.size()) - 2; // the pad's characters, before `"}`
    if (room < sequenceDigits)
        frame = candidateFrame(frame.size() + sequenceDigits - room);
    setSequence(frame, 0);
    return frame;
}

void setSequence(std::string& frame, uint64_t sequence) {
    char digits[sequenceDigits + 1];
    std::snprintf(digits, sizeof digits, "%016" PRIu64, sequence);
    frame.replace(frame.find(padKey) + padKey.size(), sequenceDigits, digits, sequenceDigits);
}

std::optional<uint64_t> sequenceOf(std::string_view frame) {
    const auto at = frame.find(padKey);
    if (at == std::string_view::npos || frame.size() < at + padKey.size() + sequenceDigits)
        return std::nullopt;
    uint64_t value = 0;
    for (const char c : frame.substr(at + padKey.size(), sequenceDigits)) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value;
}

namespace {

class LatencyRun final : public ClientEvents {
public:
    LatencyRun(const Target& target, const Options& options)
        : engine_(options.threads),
          options_(options), server_{endpointOf(target, 0), endpointOf(target, 1)}, host_{hostHeader(target, 0),
                                                                                          hostHeader(target, 1)},
          frame_(numberedFrame(options.frameBytes)), pairs_(options.pairs), threads_(engine_.threads()) {
        for (std::size_t i = 0; i < pairs_.size(); ++i) {
            const std::string room = options.roomPrefix + "-" + std::to_string(i);
            pairs_[i].joinA = joinText(room, "a");
            pairs_[i].joinB = joinText(room, "b");
            threads_[threadOf(i)].pairs.push_back(i);
        }
        for (unsigned t = 0; t < engine_.threads(); ++t) {
            threads_[t].timer.emplace(engine_.context(t));
            threads_[t].scratch = frame_;
        }
    }

    void launch() {
        for (std::size_t i = 0; i < pairs_.size(); ++i)
            engine_.post(threadOf(i), [this, i] { startClient(i, 0); });
    }

    // Starts the clock: sends are due from `start`, measured from `from`, and stop at `to`.
    void offer(Clock::time_point start, Clock::time_point from, Clock::time_point to) {
        from_ = from;
        to_ = to;
        for (unsigned t = 0; t < engine_.threads(); ++t)
            engine_.post(t, [this, t, start] {
                auto& th = threads_[t];
                th.schedule.emplace(start, options_.rate, engine_.threads(), t);
                tick(th);
            });
    }

    std::size_t ready() const { return ready_.load(); }
    const Failures& failures() const { return failures_; }
    uint64_t received() const { return sum(&PerThread::received); }
    uint64_t inFlight() const { return sum(&PerThread::sent) - received(); }

    void stop() {
        stopping_.store(true);
        for (unsigned t = 0; t < engine_.threads(); ++t)
            engine_.post(t, [this, t] { threads_[t].timer->cancel(); });
        abortAllAndStop(engine_, pairs_, failures_);
    }

    // After stop(): what was measured.
    std::vector<uint64_t> latencies() const { return gather(&PerThread::latencies); }
    std::vector<uint64_t> lags() const { return gather(&PerThread::lags); }
    uint64_t sentInWindow() const {
        uint64_t n = 0;
        for (const auto& t : threads_)
            n += t.sentInWindow;
        return n;
    }
    uint64_t unanswered() const {
        uint64_t n = 0;
        for (const auto& p : pairs_)
            n += static_cast<uint64_t>(std::count_if(p.outstanding.begin(), p.outstanding.end(),
                                                     [&](const Sent& s) { return inWindow(s.due); }));
        return n;
    }

private:
    struct Sent {
        uint64_t sequence;
        Clock::time_point due;
    };

    struct Pair {
        std::shared_ptr<Client> a, b;
        std::string joinA, joinB;
        bool aTold = false, bTold = false, running = false;
        uint64_t nextSequence = 0;
        std::deque<Sent> outstanding; // replies come back in the order A sent, through one room and one connection
    };

    struct alignas(64) PerThread {
        std::vector<std::size_t> pairs;
        std::optional<net::steady_timer> timer;
        std::optional<OpenLoopSchedule> schedule;
        uint64_t next = 0; // index of the next due send of this thread
        std::string scratch;
        std::vector<uint64_t> latencies, lags; // nanoseconds, round trips due in the window
        uint64_t sentInWindow = 0;
        std::atomic<uint64_t> sent{0}, received{0};
    };

    unsigned threadOf(std::size_t pair) const { return static_cast<unsigned>(pair % engine_.threads()); }
    bool inWindow(Clock::time_point due) const { return due >= from_ && due < to_; }

    uint64_t sum(std::atomic<uint64_t> PerThread::*field) const {
        uint64_t total = 0;
        for (const auto& t : threads_)
            total += (t.*field).load(std::memory_order_relaxed);
        return total;
    }
    std::vector<uint64_t> gather(std::vector<uint64_t> PerThread::*field) const {
        std::vector<uint64_t> all;
        for (const auto& t : threads_)
            all.insert(all.end(), (t.*field).begin(), (t.*field).end());
        return all;
    }
    static uint64_t nanos(Clock::duration d) {
        return static_cast<uint64_t>(
            std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()));
    }

    void startClient(std::size_t pair, int side) {
        auto client = std::make_shared<Client>(engine_.context(threadOf(pair)), *this, pair * 2 + side);
        (side == 0 ? pairs_[pair].a : pairs_[pair].b) = client;
        client->connect(server_[side], std::nullopt, host_[side]);
    }

    void opened(Client& c) override {
        auto& p = pairs_[c.id / 2];
        c.send(c.id % 2 == 0 ? p.joinA : p.joinB);
    }

    // Sends everything that is due by now (a late timer catches up at once), then sleeps until the next is due.
    void tick(PerThread& th) {
        if (stopping_.load(std::memory_order_relaxed))
            return;
        for (auto due = th.schedule->at(th.next); due < to_; due = th.schedule->at(++th.next)) {
            const auto now = Clock::now();
            if (due > now) {
                th.timer->expires_at(due);
                th.timer->async_wait([this, &th](const beast::error_code& ec) {
                    if (!ec)
                        tick(th);
                });
                return;
            }
            auto& p = pairs_[th.pairs[th.next % th.pairs.size()]];
            const uint64_t sequence = p.nextSequence++;
            setSequence(th.scratch, sequence);
            p.outstanding.push_back({sequence, due});
            p.a->sendCopy(th.scratch);
            bump(th.sent);
            if (inWindow(due)) {
                ++th.sentInWindow;
                th.lags.push_back(nanos(Clock::now() - due));
            }
        }
    }

    void text(Client& c, std::string_view m) override {
        const std::size_t index = c.id / 2;
        auto& p = pairs_[index];
        const bool isA = c.id % 2 == 0;
        if (!p.running) {
            switch (pairSetupReply(isA, m, p.aTold, p.bTold)) {
            case PairSetup::StartB: return startClient(index, 1);
            case PairSetup::Unexpected: return failures_.note("unexpected reply during set-up: " + std::string(m));
            case PairSetup::Ready:
                p.running = true;
                ready_.fetch_add(1);
                break;
            case PairSetup::Waiting: break;
            }
            return;
        }
        if (!isA)
            return p.b->sendCopy(m); // B echoes the frame, sequence number and all
        const auto now = Clock::now();
        const auto sequence = sequenceOf(m);
        if (p.outstanding.empty() || !sequence || *sequence != p.outstanding.front().sequence)
            return failures_.note("pair " + std::to_string(index) + ": reply " +
                                  (sequence ? std::to_string(*sequence) : std::string("without a number")) +
                                  " is not the oldest round trip in flight");
        auto& th = threads_[threadOf(index)];
        const auto due = p.outstanding.front().due;
        p.outstanding.pop_front();
        if (inWindow(due))
            th.latencies.push_back(nanos(now - due));
        bump(th.received);
    }

    void failed(Client&, const char* stage, const beast::error_code& ec) override {
        if (!stopping_.load(std::memory_order_relaxed))
            failures_.note(describeFailure(stage, ec));
    }

    Engine engine_; // first: its threads stop before anything they use is destroyed
    const Options options_;
    const tcp::endpoint server_[2]; // A's and B's
    const std::string host_[2];
    const std::string frame_;
    std::vector<Pair> pairs_;
    std::vector<PerThread> threads_;
    Clock::time_point from_, to_; // written before the first send is posted, read only by the threads after
    std::atomic<std::size_t> ready_{0};
    std::atomic<bool> stopping_{false};
    Failures failures_;
};

} // namespace

Json runLatency(const Target& target, const Options& given) {
    Options options = given;
    options.pairs = std::max<std::size_t>(options.pairs, 1);
    // Every thread sends for pairs of its own, so there are never more threads than pairs.
    options.threads = static_cast<unsigned>(std::clamp<std::size_t>(options.threads, 1, options.pairs));
    LatencyRun run(target, options);
    Json out;
    out["workload"] = workloadName("latency", target);
    out["pairs"] = options.pairs;
    out["frame_bytes"] = options.frameBytes;
    out["threads"] = options.threads;
    out["offered_per_s"] = options.rate;

    run.launch();
    std::string stopReason = waitUntil([&] { return run.ready() == options.pairs || run.failures().count() > 0; },
                                       [&] { return run.ready(); }, options.timeout, options.stall);
    if (stopReason.empty() && run.failures().count() > 0)
        stopReason = "failure during set-up";
    if (stopReason.empty() && !(options.rate > 0)) // an open loop needs a clock to run on
        stopReason = "no rate offered";
    std::optional<SyscallCounter> syscalls;
    if (options.syscalls && target.serverPid > 0)
        syscalls.emplace(target.serverPid);
    Snapshot from, to;
    uint64_t received0 = 0, received1 = 0;
    if (stopReason.empty()) {
        const auto start = Clock::now() + std::chrono::milliseconds(10);
        const auto measureFrom =
            start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.warmup));
        const auto measureTo =
            measureFrom + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.duration));
        run.offer(start, measureFrom, measureTo);
        std::this_thread::sleep_until(measureFrom);
        if (syscalls)
            syscalls->start();
        from = takeSnapshot(target.serverPid, target.morePids);
        received0 = run.received();
        std::this_thread::sleep_until(measureTo);
        received1 = run.received();
        to = takeSnapshot(target.serverPid, target.morePids);
        if (syscalls)
            syscalls->stop();
        // Sends stop at the end of the window; what is still in flight gets `stall` seconds to come back.
        stopReason = waitUntil([&] { return run.inFlight() == 0 || run.failures().count() > 0; },
                               [&] { return run.received(); }, options.stall, options.stall);
    } else {
        from = to = takeSnapshot(target.serverPid, target.morePids);
    }
    run.stop();

    const CpuUse use = cpuBetween(from, to);
    const uint64_t roundTrips = received1 - received0;
    const uint64_t unanswered = run.unanswered();
    auto latencies = run.latencies();
    auto lags = run.lags();
    const uint64_t lateSends =
        static_cast<uint64_t>(std::count_if(lags.begin(), lags.end(), [](uint64_t lag) { return lag > 1'000'000; }));
    out["achieved_per_s"] = static_cast<double>(roundTrips) / std::max(use.wall, 1e-9);
    out["round_trips"] = roundTrips;
    out["due_in_window"] = run.sentInWindow();
    out["unanswered"] = unanswered;
    out["latency_us"] = percentileJson(percentilesOf(latencies));
    out["send_lag_us"] = percentileJson(percentilesOf(lags));
    out["sends_late_over_1ms"] = lateSends;
    addCpu(out, use, roundTrips, "round trip");
    if (syscalls)
        addSyscalls(out, *syscalls, roundTrips * 2);
    out["failures"] = run.failures().count();
    out["first_failure"] = run.failures().first();
    out["complete"] = stopReason.empty() && run.failures().count() == 0 && unanswered == 0;
    out["stop_reason"] = stopReason.empty() ? "duration" : stopReason;
    return out;
}

} // namespace bench
