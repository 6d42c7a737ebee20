// The standard Prometheus process_* metrics of this process, read from /proc/self on Linux.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace murva {

// Each value is empty when it could not be read; its family is then left out rather than reported as zero.
struct ProcessMetrics {
    std::optional<double> cpuSecondsTotal;  // user + system CPU time
    std::optional<double> startTimeSeconds; // since the Unix epoch
    std::optional<std::uint64_t> residentMemoryBytes;
    std::optional<std::uint64_t> virtualMemoryBytes;
    std::optional<std::uint64_t> openFds;
    std::optional<std::uint64_t> maxFds; // the soft RLIMIT_NOFILE
};

ProcessMetrics readProcessMetrics();

// Appends process_cpu_seconds_total, process_start_time_seconds, process_resident_memory_bytes,
// process_virtual_memory_bytes, process_open_fds and process_max_fds, each with its HELP and TYPE lines.
void appendProcessMetrics(std::string& out, const ProcessMetrics& metrics);

// Wall-clock time of the last boot, in seconds since the Unix epoch: btime from `procStat`, or, where that file
// cannot be read (our systemd unit's ProcSubset=pid hides /proc/stat), CLOCK_REALTIME - CLOCK_BOOTTIME, the
// offset the kernel derives btime from.
double bootTimeSeconds(const char* procStat = "/proc/stat");

} // namespace murva
