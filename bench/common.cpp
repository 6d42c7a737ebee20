// Shared workload helpers: see common.hpp.
#include "common.hpp"

#include <thread>

#include "syscalls.hpp"

namespace bench {

std::string joinText(const std::string& room, const char* nick, const std::string& token) {
    const std::string tokenMember = token.empty() ? "" : R"(,"token":")" + token + "\"";
    return R"({"type":"join","room":")" + room + R"(","nick":")" + nick + "\"" + tokenMember + "}";
}

void Failures::note(std::string what) {
    count_.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    if (first_.empty())
        first_ = std::move(what);
}

std::string Failures::first() const {
    std::lock_guard lock(mutex_);
    return first_;
}

std::string describeFailure(const char* stage, const beast::error_code& ec) {
    return std::string(stage) + ": " + ec.message();
}

std::string waitUntil(const std::function<bool()>& done, const std::function<uint64_t()>& progress, double timeout,
                      double stall) {
    constexpr std::chrono::milliseconds pollInterval{10};
    const auto start = Clock::now();
    auto lastChange = start;
    uint64_t last = progress();
    while (!done()) {
        std::this_thread::sleep_for(pollInterval);
        const uint64_t now = progress();
        if (now != last) {
            last = now;
            lastChange = Clock::now();
        }
        if (secondsSince(start) > timeout)
            return "timeout";
        if (secondsSince(lastChange) > stall)
            return "stalled";
    }
    return "";
}

void sleepSeconds(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

Json percentileJson(const Percentiles& p) {
    return Json{{"p50", p.p50}, {"p90", p.p90}, {"p99", p.p99}, {"p999", p.p999}, {"max", p.max}};
}

void addCpu(Json& out, const CpuUse& use, uint64_t operations, const char* operation) {
    const double ops = static_cast<double>(std::max<uint64_t>(operations, 1));
    out["op"] = operation;
    out["ops"] = operations;
    out["wall_s"] = use.wall;
    if (use.serverCpu >= 0) {
        out["server_cpu_s"] = use.serverCpu;
        out["server_cores"] = use.serverCpu / use.wall;
        out["server_us_per_op"] = use.serverCpu * 1e6 / ops;
    } else {
        out["server_cpu_s"] = nullptr;
        out["server_cores"] = nullptr;
        out["server_us_per_op"] = nullptr;
    }
    out["gen_cpu_s"] = use.ownCpu;
    out["gen_cores"] = use.ownCpu / use.wall;
    out["gen_us_per_op"] = use.ownCpu * 1e6 / ops;
    out["other_cores"] = use.otherCpu / use.wall;
    out["cpus"] = std::thread::hardware_concurrency();
}

void addSyscalls(Json& out, const SyscallCounter& counter, uint64_t frames) {
    if (!counter.error().empty()) {
        out["syscalls_per_frame"] = nullptr;
        out["syscalls_error"] = counter.error();
        return;
    }
    const auto counts = counter.counts();
    const double per = static_cast<double>(std::max<uint64_t>(frames, 1));
    Json j = Json::object();
    for (const auto& group : syscallGroups()) {
        auto it = counts.find(group.name);
        j[group.name] = it == counts.end() ? Json(nullptr) : Json(static_cast<double>(it->second) / per);
    }
    auto total = counts.find("total");
    j["total"] = total == counts.end() ? Json(nullptr) : Json(static_cast<double>(total->second) / per);
    out["syscalls_per_frame"] = j;
    out["syscalls_counted_by"] = "perf_event_open on syscalls:sys_enter_* and raw_syscalls:sys_enter, every server "
                                 "thread, measured window only";
}

namespace {
unsigned short portOf(const Target& target, int side) {
    return side == 1 && target.portB != 0 ? target.portB : target.port;
}
} // namespace

tcp::endpoint endpointOf(const Target& target, int side) {
    return tcp::endpoint(net::ip::make_address(target.host), portOf(target, side));
}

std::string hostHeader(const Target& target, int side) {
    return target.host + ":" + std::to_string(portOf(target, side));
}

std::string workloadName(const std::string& workload, const Target& target) {
    return target.portB != 0 ? workload + "-cluster" : workload;
}

} // namespace bench
