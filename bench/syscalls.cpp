// System call counts of another process through perf_event_open on syscall tracepoints.
#include "syscalls.hpp"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace bench {
namespace {

// A tracepoint's id, from tracefs wherever it is mounted; -1 when this kernel has no such tracepoint.
long tracepointId(const std::string& event) {
    for (const char* root : {"/sys/kernel/tracing/events/", "/sys/kernel/debug/tracing/events/"}) {
        std::ifstream in(std::string(root) + event + "/id");
        long id = -1;
        if (in >> id)
            return id;
    }
    return -1;
}

std::vector<int> threadsOf(int pid) {
    std::vector<int> tids;
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (!dir)
        return tids;
    while (const dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.')
            tids.push_back(std::atoi(entry->d_name));
    ::closedir(dir);
    return tids;
}

int openCounter(long tracepoint, int tid) {
    perf_event_attr attr{};
    attr.size = sizeof attr;
    attr.type = PERF_TYPE_TRACEPOINT;
    attr.config = static_cast<uint64_t>(tracepoint);
    attr.disabled = 1;
    return static_cast<int>(::syscall(SYS_perf_event_open, &attr, tid, -1, -1, PERF_FLAG_FD_CLOEXEC));
}

} // namespace

const std::vector<SyscallGroup>& syscallGroups() {
    static const std::vector<SyscallGroup> groups = {
        {"recv", {"recvfrom", "recvmsg", "recvmmsg", "read", "readv"}},
        {"send", {"sendto", "sendmsg", "sendmmsg", "write", "writev"}},
        {"epoll_wait", {"epoll_wait", "epoll_pwait", "epoll_pwait2"}},
        {"epoll_ctl", {"epoll_ctl"}},
        {"futex", {"futex"}},
    };
    return groups;
}

SyscallCounter::SyscallCounter(int pid) {
    std::vector<std::pair<std::string, long>> events;
    for (const auto& group : syscallGroups())
        for (const char* call : group.calls)
            if (const long id = tracepointId(std::string("syscalls/sys_enter_") + call); id >= 0)
                events.emplace_back(group.name, id);
    const long total = tracepointId("raw_syscalls/sys_enter");
    if (total < 0) {
        error_ = "no raw_syscalls:sys_enter tracepoint (is tracefs mounted?)";
        return;
    }
    events.emplace_back("total", total);
    const auto tids = threadsOf(pid);
    if (tids.empty())
        error_ = "no threads under /proc/" + std::to_string(pid) + "/task";
    for (const int tid : tids)
        for (const auto& [group, id] : events) {
            const int fd = openCounter(id, tid);
            if (fd < 0) {
                error_ = std::string("perf_event_open: ") + std::strerror(errno) +
                         " (needs root or kernel.perf_event_paranoid <= 1 for another process's tracepoints)";
                return;
            }
            counters_.push_back({group, fd});
        }
}

SyscallCounter::~SyscallCounter() {
    for (const auto& c : counters_)
        ::close(c.fd);
}

void SyscallCounter::start() {
    if (!error_.empty())
        return;
    for (const auto& c : counters_) {
        ::ioctl(c.fd, PERF_EVENT_IOC_RESET, 0);
        ::ioctl(c.fd, PERF_EVENT_IOC_ENABLE, 0);
    }
}

void SyscallCounter::stop() {
    if (!error_.empty())
        return;
    for (const auto& c : counters_)
        ::ioctl(c.fd, PERF_EVENT_IOC_DISABLE, 0);
}

std::map<std::string, uint64_t> SyscallCounter::counts() const {
    std::map<std::string, uint64_t> sums;
    if (!error_.empty())
        return sums;
    for (const auto& c : counters_) {
        uint64_t value = 0;
        if (::read(c.fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value))
            sums[c.group] += value;
    }
    return sums;
}

} // namespace bench
