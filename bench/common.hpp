// Pieces every workload shares: failure notes, waiting with a stall bound, join texts, reply tests, CPU fields.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "client.hpp"
#include "probe.hpp"
#include "workloads.hpp"

namespace bench {

// Counters written by one generator thread and read by the main thread while the run goes on.
inline void bump(std::atomic<uint64_t>& counter, uint64_t by = 1) {
    counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

inline bool has(std::string_view message, std::string_view part) {
    return message.find(part) != std::string_view::npos;
}

// The server's replies are compact with sorted members, so these fragments identify them.
inline bool isJoined(std::string_view m) { return has(m, "\"type\":\"joined\""); }
inline bool isPeerJoined(std::string_view m) { return has(m, "\"type\":\"peer-joined\""); }
inline bool isJoinedAlone(std::string_view m) { return isJoined(m) && has(m, "\"peer\":\"\""); }

// A join of `room`; with a `token` (a signed join token), that token rides along.
std::string joinText(const std::string& room, const char* nick, const std::string& token = {});

// One reply while a pair is being set up: A joins alone, then B joins; the pair is ready once A was told of B
// and B joined next to A. `aTold`/`bTold` are the pair's flags.
enum class PairSetup { Waiting, StartB, Ready, Unexpected };
inline PairSetup pairSetupReply(bool isA, std::string_view m, bool& aTold, bool& bTold) {
    if (isA && isJoinedAlone(m))
        return PairSetup::StartB; // B joins only now, so A is the sender of every pair
    if (isA && isPeerJoined(m))
        aTold = true;
    else if (!isA && isJoined(m) && !isJoinedAlone(m))
        bTold = true;
    else
        return PairSetup::Unexpected;
    return aTold && bTold ? PairSetup::Ready : PairSetup::Waiting;
}

// The first failure in words, and how many there were.
class Failures {
public:
    void note(std::string what);
    uint64_t count() const { return count_.load(std::memory_order_relaxed); }
    std::string first() const;

private:
    std::atomic<uint64_t> count_{0};
    mutable std::mutex mutex_;
    std::string first_;
};

std::string describeFailure(const char* stage, const beast::error_code& ec);

// Waits until `done()` holds; gives up after `timeout` seconds, or after `stall` seconds in which
// `progress()` did not change. Returns "" when done, otherwise why it stopped.
std::string waitUntil(const std::function<bool()>& done, const std::function<uint64_t()>& progress, double timeout,
                      double stall);

void sleepSeconds(double seconds);

Json percentileJson(const Percentiles& p);

// The CPU fields every result carries: who used how much of the machine, and the cost per operation.
void addCpu(Json& out, const CpuUse& use, uint64_t operations, const char* operation);

class SyscallCounter;
// The server's system calls per relayed frame, by group, from a counter that ran over the measured window.
void addSyscalls(Json& out, const SyscallCounter& counter, uint64_t frames);

// Where member A (side 0) or B (side 1) of a pair connects: B to the other instance in cross-instance runs.
tcp::endpoint endpointOf(const Target& target, int side = 0);
std::string hostHeader(const Target& target, int side = 0);
// The workload's name, with "-cluster" when the pairs span two instances.
std::string workloadName(const std::string& workload, const Target& target);

// Aborts every client of `pairs` on its own thread, stops the engine and notes a generator fault.
template <class Pairs> void abortAllAndStop(Engine& engine, Pairs& pairs, Failures& failures) {
    for (unsigned t = 0; t < engine.threads(); ++t)
        engine.post(t, [&engine, &pairs, t] {
            for (std::size_t i = t; i < pairs.size(); i += engine.threads())
                for (auto* c : {pairs[i].a.get(), pairs[i].b.get()})
                    if (c)
                        c->abort();
        });
    engine.stop(std::chrono::milliseconds(2000));
    if (auto fault = engine.fault(); !fault.empty())
        failures.note("generator: " + fault);
}

} // namespace bench
