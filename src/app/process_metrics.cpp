// Reads the process_* metrics from /proc/self/stat, /proc/self/fd and the resource limits.
#include "app/process_metrics.hpp"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "app/metrics_text.hpp"

namespace murva {

namespace {

std::optional<std::string> readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return std::move(text).str();
}

std::optional<std::uint64_t> parseUnsigned(std::string_view text) {
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

double secondsOf(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The fields of /proc/self/stat we use, counted as proc(5) counts them (pid is 1, comm 2, state 3).
struct StatFields {
    std::uint64_t utime = 0;     // 14, clock ticks
    std::uint64_t stime = 0;     // 15, clock ticks
    std::uint64_t starttime = 0; // 22, clock ticks after boot
    std::uint64_t vsize = 0;     // 23, bytes
    std::uint64_t rss = 0;       // 24, pages
};

std::optional<StatFields> readSelfStat() {
    auto text = readFile("/proc/self/stat");
    if (!text)
        return std::nullopt;
    // comm (field 2) is in parentheses and may itself hold spaces and ')', so fields are counted after the last ')'.
    auto close = text->rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::vector<std::string_view> fields; // fields[0] is field 3
    std::string_view rest = std::string_view(*text).substr(close + 1);
    while (fields.size() < 22) {
        auto start = rest.find_first_not_of(" \n");
        if (start == std::string_view::npos)
            break;
        rest.remove_prefix(start);
        auto end = std::min(rest.find_first_of(" \n"), rest.size());
        fields.push_back(rest.substr(0, end));
        rest.remove_prefix(end);
    }
    if (fields.size() < 22)
        return std::nullopt;
    auto field = [&](int number) { return parseUnsigned(fields[static_cast<std::size_t>(number - 3)]); };
    auto utime = field(14), stime = field(15), starttime = field(22), vsize = field(23), rss = field(24);
    if (!utime || !stime || !starttime || !vsize || !rss)
        return std::nullopt;
    return StatFields{*utime, *stime, *starttime, *vsize, *rss};
}

std::optional<std::uint64_t> countOpenFds() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return std::nullopt;
    // The listing holds the descriptor that reads it; that one is not counted.
    const std::string own = std::to_string(dirfd(dir));
    std::uint64_t count = 0;
    while (const dirent* entry = readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != ".." && name != own)
            ++count;
    }
    closedir(dir);
    return count;
}

} // namespace

double bootTimeSeconds(const char* procStat) {
    if (auto text = readFile(procStat)) {
        std::string_view rest = *text;
        for (auto at = rest.find("btime "); at != std::string_view::npos; at = rest.find("btime ", at + 1)) {
            if (at != 0 && rest[at - 1] != '\n')
                continue;
            auto line = rest.substr(at + 6);
            if (auto value = parseUnsigned(line.substr(0, line.find('\n'))))
                return static_cast<double>(*value);
            break;
        }
    }
    return secondsOf(CLOCK_REALTIME) - secondsOf(CLOCK_BOOTTIME);
}

ProcessMetrics readProcessMetrics() {
    ProcessMetrics metrics;
    if (auto stat = readSelfStat()) {
        const long ticks = sysconf(_SC_CLK_TCK);
        const long pageSize = sysconf(_SC_PAGESIZE);
        if (ticks > 0) {
            metrics.cpuSecondsTotal = static_cast<double>(stat->utime + stat->stime) / static_cast<double>(ticks);
            metrics.startTimeSeconds =
                bootTimeSeconds() + static_cast<double>(stat->starttime) / static_cast<double>(ticks);
        }
        if (pageSize > 0)
            metrics.residentMemoryBytes = stat->rss * static_cast<std::uint64_t>(pageSize);
        metrics.virtualMemoryBytes = stat->vsize;
    }
    metrics.openFds = countOpenFds();
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
        metrics.maxFds = static_cast<std::uint64_t>(limit.rlim_cur);
    return metrics;
}

void appendProcessMetrics(std::string& out, const ProcessMetrics& metrics) {
    auto append = [&](const char* name, MetricType type, const char* help, const auto& value) {
        if (value)
            appendMetric(out, name, type, help, *value);
    };
    append("process_cpu_seconds_total", MetricType::Counter, "Total user and system CPU time spent in seconds.",
           metrics.cpuSecondsTotal);
    append("process_start_time_seconds", MetricType::Gauge, "Start time of the process since unix epoch in seconds.",
           metrics.startTimeSeconds);
    append("process_resident_memory_bytes", MetricType::Gauge, "Resident memory size in bytes.",
           metrics.residentMemoryBytes);
    append("process_virtual_memory_bytes", MetricType::Gauge, "Virtual memory size in bytes.",
           metrics.virtualMemoryBytes);
    append("process_open_fds", MetricType::Gauge, "Number of open file descriptors.", metrics.openFds);
    append("process_max_fds", MetricType::Gauge, "Maximum number of open file descriptors.", metrics.maxFds);
}

} // namespace murva
