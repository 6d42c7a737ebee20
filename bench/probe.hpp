// What the load generator reads about the machine, the server process and itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// One reading of every CPU clock a result is built from. A negative server time means it could not be read.
struct Snapshot {
    Clock::time_point at;
    double serverCpu = -1;  // utime + stime of the server processes, seconds
    double ownCpu = 0;      // this process, user + system, seconds
    double machineBusy = 0; // all CPUs of the machine, non-idle seconds
};

// `serverPid` and every one of `morePids` (other instances, Redis) count as the server.
Snapshot takeSnapshot(int serverPid, const std::vector<int>& morePids = {});

// CPU use between two snapshots, in cores (CPU seconds per wall second).
struct CpuUse {
    double wall = 0;
    double serverCpu = -1;
    double ownCpu = 0;
    double otherCpu = 0; // everything else the machine ran meanwhile (other processes, kernel work not charged)
};

CpuUse cpuBetween(const Snapshot& from, const Snapshot& to);

// Resident memory of a process in bytes (VmRSS, or VmHWM for its peak); -1 when it cannot be read.
long long residentBytes(int pid);
long long peakResidentBytes(int pid);

// Whether the server on 127.0.0.1:port answers GET /readyz with 200 (an instance of several: Redis has answered).
bool serverReady(unsigned short port);

// Raises this process's open-file limit to its hard limit and returns the soft limit now in force.
unsigned long long raiseOpenFileLimit();

struct Percentiles {
    std::size_t count = 0;
    double p50 = 0, p90 = 0, p99 = 0, p999 = 0, max = 0; // microseconds
};

// Nearest-rank percentiles of latencies given in nanoseconds; sorts the vector.
Percentiles percentilesOf(std::vector<uint64_t>& nanos);

double secondsSince(Clock::time_point start);

} // namespace bench
