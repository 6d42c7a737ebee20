#include "probe.hpp"

#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sstream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {
namespace {

// /proc files stay open once read, so a generator that has used up its descriptors can still read them.
std::string readProcFile(const std::string& path) {
    static std::mutex mutex;
    static std::map<std::string, int> open;
    std::lock_guard lock(mutex);
    auto it = open.find(path);
    if (it == open.end()) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return {};
        it = open.emplace(path, fd).first;
    }
    std::string text;
    char chunk[4096];
    for (off_t offset = 0;;) {
        const ssize_t n = ::pread(it->second, chunk, sizeof chunk, offset);
        if (n <= 0)
            break;
        text.append(chunk, static_cast<std::size_t>(n));
        offset += n;
    }
    return text;
}

double clockTicks() {
    static const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return ticks;
}

// utime and stime are fields 14 and 15 of /proc/PID/stat; the command name before them may hold blanks.
double processCpuSeconds(int pid) {
    if (pid <= 0)
        return -1;
    const std::string line = readProcFile("/proc/" + std::to_string(pid) + "/stat");
    if (line.empty())
        return -1;
    const auto close = line.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14)
            utime = std::stoull(field);
        if (index == 15) {
            stime = std::stoull(field);
            return static_cast<double>(utime + stime) / clockTicks();
        }
    }
    return -1;
}

double ownCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Non-idle time of all CPUs from the first line of /proc/stat (idle and iowait are the idle fields).
double machineBusySeconds() {
    std::istringstream in(readProcFile("/proc/stat"));
    std::string cpu;
    in >> cpu;
    unsigned long long value = 0, busy = 0;
    for (int index = 0; index < 8 && in >> value; ++index)
        if (index != 3 && index != 4)
            busy += value;
    return static_cast<double>(busy) / clockTicks();
}

long long statusField(int pid, const char* name) {
    if (pid <= 0)
        return -1;
    std::istringstream in(readProcFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    const std::string prefix = std::string(name) + ":";
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::stoll(line.substr(prefix.size())) * 1024; // the value is in kB
    return -1;
}

} // namespace

Snapshot takeSnapshot(int serverPid, const std::vector<int>& morePids) {
    Snapshot s;
    s.at = Clock::now();
    s.serverCpu = processCpuSeconds(serverPid);
    for (const int pid : morePids) {
        const double cpu = processCpuSeconds(pid);
        s.serverCpu = s.serverCpu < 0 || cpu < 0 ? -1 : s.serverCpu + cpu;
    }
    s.ownCpu = ownCpuSeconds();
    s.machineBusy = machineBusySeconds();
    return s;
}

CpuUse cpuBetween(const Snapshot& from, const Snapshot& to) {
    CpuUse use;
    use.wall = std::chrono::duration<double>(to.at - from.at).count();
    if (from.serverCpu >= 0 && to.serverCpu >= 0)
        use.serverCpu = to.serverCpu - from.serverCpu;
    use.ownCpu = to.ownCpu - from.ownCpu;
    use.otherCpu = std::max(0.0, to.machineBusy - from.machineBusy - use.ownCpu - std::max(0.0, use.serverCpu));
    return use;
}

long long residentBytes(int pid) { return statusField(pid, "VmRSS"); }
long long peakResidentBytes(int pid) { return statusField(pid, "VmHWM"); }

bool serverReady(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    timeval bound{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    const std::string request = "GET /readyz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char chunk[256];
        for (ssize_t n; reply.find("\r\n") == std::string::npos && (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;)
            reply.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return reply.rfind("HTTP/1.1 200 ", 0) == 0;
}

unsigned long long raiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur;
}

Percentiles percentilesOf(std::vector<uint64_t>& nanos) {
    Percentiles p;
    p.count = nanos.size();
    if (nanos.empty())
        return p;
    std::sort(nanos.begin(), nanos.end());
    auto rank = [&](double percent) {
        const auto n = static_cast<double>(nanos.size());
        const auto index = static_cast<std::size_t>(std::max(1.0, std::ceil(percent / 100.0 * n))) - 1;
        return static_cast<double>(nanos[std::min(index, nanos.size() - 1)]) / 1000.0;
    };
    p.p50 = rank(50);
    p.p90 = rank(90);
    p.p99 = rank(99);
    p.p999 = rank(99.9);
    p.max = static_cast<double>(nanos.back()) / 1000.0;
    return p;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

} // namespace bench
